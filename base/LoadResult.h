// What every reader and decoder returns: success, or the reason it refused the file
// (what was wrong, in which file, in which section, at which byte), and the warnings it
// met on the way (a texture that is missing, a record it skipped). The reader decides
// the words; only the program on top decides whether they become a message box, a line
// on stderr or an exit status.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "base/ByteCursor.h"

struct LoadProblem {
    static constexpr std::size_t kNoOffset = static_cast<std::size_t>(-1);

    std::string what;     // the problem in words, e.g. "the file ends early"
    std::string file;     // the file as the user named it; empty for bytes in memory
    std::string section;  // the part being read, e.g. "bones"; empty when it does not apply
    std::size_t offset = kNoOffset;
    // True when what is a whole sentence that already names the section and offset in a
    // reader's long-standing words (the motion reader's "... at offset N needs ..."):
    // text() then gives "file: what", and section and offset are there for the program.
    bool whatNamesPlace = false;

    // "file: section at byte N: what", leaving out the parts that are not known.
    std::string text() const {
        std::string s;
        if (!file.empty()) s += file + ": ";
        if (whatNamesPlace) return s + what;
        if (!section.empty()) s += section;
        if (offset != kNoOffset) s += (section.empty() ? "at byte " : " at byte ") + std::to_string(offset);
        if (!section.empty() || offset != kNoOffset) s += ": ";
        return s + what;
    }
};

class LoadResult {
public:
    LoadResult() = default;  // success, no warnings

    static LoadResult refuse(std::string what, std::string section = {},
                             std::size_t offset = LoadProblem::kNoOffset) {
        LoadResult r;
        r.ok_ = false;
        r.problem_ = LoadProblem{std::move(what), {}, std::move(section), offset, false};
        return r;
    }

    // A refusal whose words already say where (see LoadProblem::whatNamesPlace).
    static LoadResult refuseInWords(std::string sentence, std::string section, std::size_t offset) {
        LoadResult r = refuse(std::move(sentence), std::move(section), offset);
        r.problem_.whatNamesPlace = true;
        return r;
    }

    // A refusal for a cursor that ran out: where the read started and how much it wanted.
    static LoadResult ranOut(const ByteCursor& cursor, std::string section) {
        return refuse("the file ends early (" + std::to_string(cursor.failWanted()) + " more bytes wanted, " +
                          std::to_string(cursor.size() - cursor.failOffset()) + " left)",
                      std::move(section), cursor.failOffset());
    }

    explicit operator bool() const { return ok_; }
    bool ok() const { return ok_; }
    const LoadProblem& problem() const { return problem_; }
    const std::vector<LoadProblem>& warnings() const { return warnings_; }

    // Names the file on the refusal and on every warning that does not name one yet.
    LoadResult& inFile(const std::string& file) {
        if (problem_.file.empty()) problem_.file = file;
        for (LoadProblem& w : warnings_)
            if (w.file.empty()) w.file = file;
        return *this;
    }

    void warn(std::string what, std::string file = {}, std::string section = {}) {
        warnings_.push_back(
            LoadProblem{std::move(what), std::move(file), std::move(section), LoadProblem::kNoOffset, false});
    }
    void warn(LoadProblem warning) { warnings_.push_back(std::move(warning)); }

    // Keeps this result's success or refusal and takes the other's warnings too.
    void takeWarnings(const LoadResult& other) {
        warnings_.insert(warnings_.end(), other.warnings_.begin(), other.warnings_.end());
    }

private:
    bool ok_ = true;
    LoadProblem problem_;
    std::vector<LoadProblem> warnings_;
};
