// Reader for the video configuration, a small XML file of our own:
//
//   <?xml version="1.0" encoding="UTF-8"?>
//   <pavonix-video>
//     <source>auto</source>          auto | camera | file | virtual
//     <device>/dev/video0</device>   camera: device path or index
//     <file></file>                  file: video, image sequence (printf pattern such as
//                                    frames/%04d.png) or a single picture
//     <width>640</width>  <height>480</height>  <fps>30</fps>
//     <flipV>false</flipV>           true | false | yes | no | 1 | 0
//     <marker></marker>  <calibration></calibration>   virtual camera data (optional)
//   </pavonix-video>
//
// Every element is optional and keeps its default when absent. The reader is
// deliberately small and tolerant rather than a general XML parser: it skips the
// declaration, comments, DOCTYPE and attributes, ignores elements it does not know
// (and everything inside them), decodes the five predefined entities and numeric
// character references, and accepts CDATA. It refuses what would leave the program
// guessing: a file that is not this format, mismatched or unclosed tags, and values
// out of range. Relative paths are taken from the file's own folder.
#include "platform/video/VideoConfig.h"

#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

namespace {

constexpr const char* kRootElement = "pavonix-video";
// A configuration is a few hundred bytes; anything this big is the wrong file.
constexpr std::streamoff kMaxConfigBytes = 1 << 20;
constexpr int kMinSide = 16, kMaxSide = 8192;
constexpr double kMaxFps = 1000.0;

std::string trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return "";
    size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

std::string lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return s;
}

void appendUtf8(std::string& out, unsigned long cp) {
    if (cp < 0x80) {
        out += char(cp);
    } else if (cp < 0x800) {
        out += char(0xC0 | (cp >> 6));
        out += char(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += char(0xE0 | (cp >> 12));
        out += char(0x80 | ((cp >> 6) & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    } else {
        out += char(0xF0 | (cp >> 18));
        out += char(0x80 | ((cp >> 12) & 0x3F));
        out += char(0x80 | ((cp >> 6) & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    }
}

// Decodes entities; false with the offending reference in bad.
bool decodeEntities(const std::string& in, std::string& out, std::string& bad) {
    out.clear();
    for (size_t i = 0; i < in.size(); ++i) {
        if (in[i] != '&') {
            out += in[i];
            continue;
        }
        size_t semi = in.find(';', i);
        if (semi == std::string::npos || semi - i > 12) {
            bad = in.substr(i, 12);
            return false;
        }
        std::string name = in.substr(i + 1, semi - i - 1);
        if (name == "amp") out += '&';
        else if (name == "lt") out += '<';
        else if (name == "gt") out += '>';
        else if (name == "quot") out += '"';
        else if (name == "apos") out += '\'';
        else if (name.size() > 1 && name[0] == '#') {
            const bool hex = name[1] == 'x' || name[1] == 'X';
            const char* digits = name.c_str() + (hex ? 2 : 1);
            char* end = nullptr;
            unsigned long cp = std::strtoul(digits, &end, hex ? 16 : 10);
            if (!*digits || *end || cp == 0 || cp > 0x10FFFF) {
                bad = "&" + name + ";";
                return false;
            }
            appendUtf8(out, cp);
        } else {
            bad = "&" + name + ";";
            return false;
        }
        i = semi;
    }
    return true;
}

struct Element {
    std::string name;
    int line = 0;
    std::string text;
};

bool parseInt(const std::string& s, int lo, int hi, int& out) {
    if (s.empty()) return false;
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(s.c_str(), &end, 10);
    if (*end || errno || v < lo || v > hi) return false;
    out = int(v);
    return true;
}

bool isAbsolute(const std::string& path) { return !path.empty() && path[0] == '/'; }

std::string joinPath(const std::string& dir, const std::string& path) {
    if (dir.empty() || path.empty() || isAbsolute(path)) return path;
    return dir + "/" + path;
}

}  // namespace

const char* sourceKeyword(VideoConfig::Source source) {
    switch (source) {
        case VideoConfig::Source::Auto: return "auto";
        case VideoConfig::Source::Camera: return "camera";
        case VideoConfig::Source::File: return "file";
        case VideoConfig::Source::Virtual: return "virtual";
    }
    return "auto";
}

namespace {

// One pass over a configuration's text. The scanner walks tags, comments and text while
// counting lines; the open elements stand on a stack, and each setting is applied as
// its element closes. Every step returns false, with *error set, to stop the pass.
class ConfigParser {
public:
    ConfigParser(const std::string& text, const std::string& fileName, const VideoConfig& start, std::string* error)
        : text_(text), fileName_(fileName), error_(error), result_(start) {}

    bool run() {
        if (text_.compare(0, 3, "\xEF\xBB\xBF") == 0) pos_ = 3;
        while (pos_ < text_.size())
            if (!(text_[pos_] != '<' ? readText() : readMarkup())) return false;
        return finish();
    }
    const VideoConfig& result() const { return result_; }

private:
    const std::string& text_;
    const std::string& fileName_;
    std::string* error_;
    VideoConfig result_;
    int line_ = 1;
    size_t pos_ = 0;
    std::vector<Element> stack_;
    bool sawRoot_ = false, rootClosed_ = false;

    bool fail(int atLine, const std::string& why) {
        if (error_) *error_ = fileName_ + ": line " + std::to_string(atLine) + ": " + why;
        return false;
    }
    bool notOurs(const std::string& why) {
        if (error_) *error_ = fileName_ + ": not a Pavonix video configuration (" + why + ")";
        return false;
    }
    // Moves to `to`, counting the line feeds passed.
    void moveTo(size_t to) {
        for (size_t k = pos_; k < to && k < text_.size(); ++k)
            if (text_[k] == '\n') ++line_;
        pos_ = to;
    }

    // Text up to the next tag: kept for the open element; outside the root only
    // white space may stand.
    bool readText() {
        size_t next = text_.find('<', pos_);
        if (next == std::string::npos) next = text_.size();
        std::string chunk = text_.substr(pos_, next - pos_);
        if (stack_.empty() && !trim(chunk).empty()) {
            if (!sawRoot_) return notOurs("it starts with text, not with <" + std::string(kRootElement) + ">");
            return fail(line_, "text after </" + std::string(kRootElement) + ">");
        }
        if (!stack_.empty()) stack_.back().text += chunk;
        moveTo(next);
        return true;
    }

    // Whatever starts with '<': a processing instruction, comment, CDATA section or
    // declaration is stepped over (CDATA's content kept); anything else is a tag.
    bool readMarkup() {
        const int tagLine = line_;
        if (text_.compare(pos_, 2, "<?") == 0) return skipPast("?>", "processing instruction", tagLine);
        if (text_.compare(pos_, 4, "<!--") == 0) return skipPast("-->", "comment", tagLine);
        if (text_.compare(pos_, 9, "<![CDATA[") == 0) return readCdata(tagLine);
        if (text_.compare(pos_, 2, "<!") == 0) return skipPast(">", "declaration", tagLine);
        return readTag(tagLine);
    }

    bool skipPast(const char* terminator, const char* what, int tagLine) {
        size_t end = text_.find(terminator, pos_);
        if (end == std::string::npos) return fail(tagLine, std::string("unterminated ") + what);
        moveTo(end + std::strlen(terminator));
        return true;
    }

    bool readCdata(int tagLine) {
        size_t end = text_.find("]]>", pos_);
        if (end == std::string::npos) return fail(tagLine, "unterminated CDATA section");
        if (stack_.empty()) return fail(tagLine, "CDATA outside <" + std::string(kRootElement) + ">");
        // Protect CDATA content from entity decoding by escaping its ampersands.
        std::string raw = text_.substr(pos_ + 9, end - pos_ - 9), escaped;
        for (char c : raw) escaped += c == '&' ? std::string("&amp;") : std::string(1, c);
        stack_.back().text += escaped;
        moveTo(end + 3);
        return true;
    }

    bool readTag(int tagLine) {
        size_t end = text_.find('>', pos_);
        if (end == std::string::npos) return fail(tagLine, "unterminated tag");
        std::string tag = text_.substr(pos_ + 1, end - pos_ - 1);
        moveTo(end + 1);
        const bool closing = !tag.empty() && tag[0] == '/';
        const bool selfClosing = !closing && !tag.empty() && tag.back() == '/';
        std::string body = closing ? tag.substr(1) : (selfClosing ? tag.substr(0, tag.size() - 1) : tag);
        size_t nameEnd = body.find_first_of(" \t\r\n");
        std::string name = trim(body.substr(0, nameEnd));
        if (name.empty()) return fail(tagLine, "a tag without a name");
        return closing ? closeElement(name, tagLine) : openElement(name, selfClosing, tagLine);
    }

    bool closeElement(const std::string& name, int tagLine) {
        if (stack_.empty()) return fail(tagLine, "</" + name + "> without a matching opening tag");
        if (stack_.back().name != name)
            return fail(tagLine, "</" + name + "> does not close <" + stack_.back().name + "> (line " +
                                     std::to_string(stack_.back().line) + ")");
        Element element = std::move(stack_.back());
        stack_.pop_back();
        if (stack_.empty()) {
            rootClosed_ = true;
            return true;
        }
        if (stack_.size() != 1) return true;  // inside an element we do not know: ignored
        return applySetting(element);
    }

    bool openElement(const std::string& name, bool selfClosing, int tagLine) {
        if (stack_.empty()) {
            if (sawRoot_) return fail(tagLine, "a second top-level element <" + name + ">");
            if (name != kRootElement) return notOurs("its top element is <" + name + ">, not <" + kRootElement + ">");
            sawRoot_ = true;
        }
        if (selfClosing) {
            if (stack_.empty()) {
                rootClosed_ = true;
                return true;
            }
            // <file/> is an empty value, the same as <file></file>.
            if (stack_.size() == 1 && name == "file") result_.file.clear();
            return true;
        }
        Element element;
        element.name = name;
        element.line = tagLine;
        stack_.push_back(std::move(element));
        return true;
    }

    // A setting of the root, its value decoded and trimmed; unknown names are ignored.
    bool applySetting(const Element& element) {
        std::string value, bad;
        if (!decodeEntities(element.text, value, bad))
            return fail(element.line, "<" + element.name + "> holds the unknown reference \"" + bad + "\"");
        value = trim(value);
        const std::string& key = element.name;
        const std::string quoted = "\"" + value + "\"";
        if (key == "source") {
            const std::string v = lower(value);
            if (v == "auto") result_.source = VideoConfig::Source::Auto;
            else if (v == "camera") result_.source = VideoConfig::Source::Camera;
            else if (v == "file") result_.source = VideoConfig::Source::File;
            else if (v == "virtual") result_.source = VideoConfig::Source::Virtual;
            else return fail(element.line, "<source> must be auto, camera, file or virtual, not " + quoted);
        } else if (key == "device") {
            if (!value.empty()) result_.device = value;
        } else if (key == "file") {
            result_.file = value;
        } else if (key == "width" || key == "height") {
            int v = 0;
            if (!parseInt(value, kMinSide, kMaxSide, v))
                return fail(element.line, "<" + key + "> must be a whole number from " + std::to_string(kMinSide) +
                                              " to " + std::to_string(kMaxSide) + ", not " + quoted);
            (key == "width" ? result_.width : result_.height) = v;
        } else if (key == "fps") {
            char* endp = nullptr;
            double v = value.empty() ? 0.0 : std::strtod(value.c_str(), &endp);
            if (value.empty() || *endp || !std::isfinite(v) || v <= 0.0 || v > kMaxFps)
                return fail(element.line, "<fps> must be a number above 0 and at most 1000, not " + quoted);
            result_.fps = v;
        } else if (key == "flipV") {
            const std::string v = lower(value);
            if (v == "true" || v == "yes" || v == "1") result_.flipV = true;
            else if (v == "false" || v == "no" || v == "0") result_.flipV = false;
            else return fail(element.line, "<flipV> must be true or false, not " + quoted);
        } else if (key == "marker") {
            result_.marker = value;
        } else if (key == "calibration") {
            result_.calibration = value;
        }
        return true;
    }

    // The text ended: every element must be closed and the root must have been seen.
    bool finish() {
        if (!stack_.empty())
            return fail(line_, "the file ends inside <" + stack_.back().name + "> (opened on line " +
                                   std::to_string(stack_.back().line) + ")");
        if (!sawRoot_ || !rootClosed_) return notOurs("no <" + std::string(kRootElement) + "> element");
        return true;
    }
};

}  // namespace

bool parseVideoConfig(const std::string& text, const std::string& fileName, VideoConfig& config, std::string* error) {
    ConfigParser parser(text, fileName, config, error);
    if (!parser.run()) return false;
    config = parser.result();
    return true;
}

bool loadVideoConfig(const std::string& path, bool allowMissing, VideoConfig& config, std::string* error) {
    struct stat st;
    if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        if (error) *error = path + ": is a folder, not a video configuration file";
        return false;
    }
    errno = 0;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        const int err = errno;
        if (allowMissing && err == ENOENT) return true;
        if (error) *error = path + ": cannot be read (" + std::strerror(err ? err : ENOENT) + ")";
        return false;
    }
    in.seekg(0, std::ios::end);
    const std::streamoff size = in.tellg();
    in.seekg(0, std::ios::beg);
    if (size < 0) {
        if (error) *error = path + ": cannot be read (not a regular file)";
        return false;
    }
    if (size > kMaxConfigBytes) {
        if (error) *error = path + ": not a Pavonix video configuration (" + std::to_string(size) + " bytes is far too large)";
        return false;
    }
    std::string text(size_t(size), '\0');
    if (size > 0 && !in.read(&text[0], size)) {
        if (error) *error = path + ": cannot be read (" + std::strerror(errno) + ")";
        return false;
    }
    if (text.find('\0') != std::string::npos) {
        if (error) *error = path + ": not a Pavonix video configuration (it holds binary data)";
        return false;
    }
    VideoConfig parsed = config;
    if (!parseVideoConfig(text, path, parsed, error)) return false;
    const size_t slash = path.find_last_of('/');
    parsed.baseDir = slash == std::string::npos ? "" : path.substr(0, slash == 0 ? 1 : slash);
    parsed.file = joinPath(parsed.baseDir, parsed.file);
    parsed.marker = joinPath(parsed.baseDir, parsed.marker);
    parsed.calibration = joinPath(parsed.baseDir, parsed.calibration);
    config = parsed;
    return true;
}

bool applySourceOverride(const std::string& request, const std::string& origin, VideoConfig& config, std::string* error) {
    auto fail = [&](const std::string& why) {
        if (error)
            *error = "video source \"" + request + "\" (" + origin + ") " + why +
                     "; use auto, virtual, camera, camera:DEVICE or file:PATH";
        return false;
    };
    const std::string s = trim(request);
    const std::string key = lower(s.substr(0, s.find(':')));
    const bool hasArg = s.find(':') != std::string::npos;
    const std::string arg = hasArg ? s.substr(s.find(':') + 1) : "";
    if (key == "auto" && !hasArg) {
        config.source = VideoConfig::Source::Auto;
    } else if (key == "virtual" && !hasArg) {
        config.source = VideoConfig::Source::Virtual;
    } else if (key == "camera") {
        if (hasArg && trim(arg).empty()) return fail("names no device");
        config.source = VideoConfig::Source::Camera;
        if (hasArg) config.device = trim(arg);
    } else if (key == "file") {
        if (arg.empty()) return fail("names no file");
        config.source = VideoConfig::Source::File;
        config.file = arg;  // a command-line path: relative to the current directory
    } else {
        return fail("is not understood");
    }
    return true;
}
