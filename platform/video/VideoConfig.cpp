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

bool parseVideoConfig(const std::string& text, const std::string& fileName, VideoConfig& config, std::string* error) {
    VideoConfig result = config;
    int line = 1;
    auto fail = [&](int atLine, const std::string& why) {
        if (error) *error = fileName + ": line " + std::to_string(atLine) + ": " + why;
        return false;
    };
    auto notOurs = [&](const std::string& why) {
        if (error) *error = fileName + ": not a Pavonix video configuration (" + why + ")";
        return false;
    };
    auto advance = [&](size_t from, size_t to) {
        for (size_t k = from; k < to && k < text.size(); ++k)
            if (text[k] == '\n') ++line;
    };

    std::vector<Element> stack;
    bool sawRoot = false, rootClosed = false;
    size_t pos = 0;
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) pos = 3;
    while (pos < text.size()) {
        if (text[pos] != '<') {
            size_t next = text.find('<', pos);
            if (next == std::string::npos) next = text.size();
            std::string chunk = text.substr(pos, next - pos);
            if (stack.empty() && !trim(chunk).empty()) {
                if (!sawRoot) return notOurs("it starts with text, not with <" + std::string(kRootElement) + ">");
                return fail(line, "text after </" + std::string(kRootElement) + ">");
            }
            if (!stack.empty()) stack.back().text += chunk;
            advance(pos, next);
            pos = next;
            continue;
        }
        const int tagLine = line;
        auto skipTo = [&](const char* terminator, const char* what) {
            size_t end = text.find(terminator, pos);
            if (end == std::string::npos) return fail(tagLine, std::string("unterminated ") + what);
            end += std::strlen(terminator);
            advance(pos, end);
            pos = end;
            return true;
        };
        if (text.compare(pos, 2, "<?") == 0) {
            if (!skipTo("?>", "processing instruction")) return false;
            continue;
        }
        if (text.compare(pos, 4, "<!--") == 0) {
            if (!skipTo("-->", "comment")) return false;
            continue;
        }
        if (text.compare(pos, 9, "<![CDATA[") == 0) {
            size_t end = text.find("]]>", pos);
            if (end == std::string::npos) return fail(tagLine, "unterminated CDATA section");
            if (stack.empty()) return fail(tagLine, "CDATA outside <" + std::string(kRootElement) + ">");
            // Protect CDATA content from entity decoding by escaping its ampersands.
            std::string raw = text.substr(pos + 9, end - pos - 9), escaped;
            for (char c : raw) escaped += c == '&' ? std::string("&amp;") : std::string(1, c);
            stack.back().text += escaped;
            advance(pos, end + 3);
            pos = end + 3;
            continue;
        }
        if (text.compare(pos, 2, "<!") == 0) {
            if (!skipTo(">", "declaration")) return false;
            continue;
        }
        size_t end = text.find('>', pos);
        if (end == std::string::npos) return fail(tagLine, "unterminated tag");
        std::string tag = text.substr(pos + 1, end - pos - 1);
        advance(pos, end + 1);
        pos = end + 1;
        const bool closing = !tag.empty() && tag[0] == '/';
        const bool selfClosing = !closing && !tag.empty() && tag.back() == '/';
        std::string body = closing ? tag.substr(1) : (selfClosing ? tag.substr(0, tag.size() - 1) : tag);
        size_t nameEnd = body.find_first_of(" \t\r\n");
        std::string name = trim(body.substr(0, nameEnd));
        if (name.empty()) return fail(tagLine, "a tag without a name");

        if (closing) {
            if (stack.empty()) return fail(tagLine, "</" + name + "> without a matching opening tag");
            if (stack.back().name != name)
                return fail(tagLine, "</" + name + "> does not close <" + stack.back().name + "> (line " +
                                         std::to_string(stack.back().line) + ")");
            Element element = std::move(stack.back());
            stack.pop_back();
            if (stack.empty()) {
                rootClosed = true;
                continue;
            }
            if (stack.size() != 1) continue;  // inside an element we do not know: ignored
            std::string value, bad;
            if (!decodeEntities(element.text, value, bad))
                return fail(element.line, "<" + element.name + "> holds the unknown reference \"" + bad + "\"");
            value = trim(value);
            const std::string& key = element.name;
            const std::string quoted = "\"" + value + "\"";
            if (key == "source") {
                const std::string v = lower(value);
                if (v == "auto") result.source = VideoConfig::Source::Auto;
                else if (v == "camera") result.source = VideoConfig::Source::Camera;
                else if (v == "file") result.source = VideoConfig::Source::File;
                else if (v == "virtual") result.source = VideoConfig::Source::Virtual;
                else return fail(element.line, "<source> must be auto, camera, file or virtual, not " + quoted);
            } else if (key == "device") {
                if (!value.empty()) result.device = value;
            } else if (key == "file") {
                result.file = value;
            } else if (key == "width" || key == "height") {
                int v = 0;
                if (!parseInt(value, kMinSide, kMaxSide, v))
                    return fail(element.line, "<" + key + "> must be a whole number from " + std::to_string(kMinSide) +
                                                  " to " + std::to_string(kMaxSide) + ", not " + quoted);
                (key == "width" ? result.width : result.height) = v;
            } else if (key == "fps") {
                char* endp = nullptr;
                double v = value.empty() ? 0.0 : std::strtod(value.c_str(), &endp);
                if (value.empty() || *endp || !std::isfinite(v) || v <= 0.0 || v > kMaxFps)
                    return fail(element.line, "<fps> must be a number above 0 and at most 1000, not " + quoted);
                result.fps = v;
            } else if (key == "flipV") {
                const std::string v = lower(value);
                if (v == "true" || v == "yes" || v == "1") result.flipV = true;
                else if (v == "false" || v == "no" || v == "0") result.flipV = false;
                else return fail(element.line, "<flipV> must be true or false, not " + quoted);
            } else if (key == "marker") {
                result.marker = value;
            } else if (key == "calibration") {
                result.calibration = value;
            }
            continue;
        }

        if (stack.empty()) {
            if (sawRoot) return fail(tagLine, "a second top-level element <" + name + ">");
            if (name != kRootElement) return notOurs("its top element is <" + name + ">, not <" + kRootElement + ">");
            sawRoot = true;
        }
        if (selfClosing) {
            if (stack.empty()) {
                rootClosed = true;
                continue;
            }
            // <file/> is an empty value, the same as <file></file>.
            if (stack.size() == 1 && name == "file") result.file.clear();
            continue;
        }
        Element element;
        element.name = name;
        element.line = tagLine;
        stack.push_back(std::move(element));
    }
    if (!stack.empty())
        return fail(line, "the file ends inside <" + stack.back().name + "> (opened on line " +
                              std::to_string(stack.back().line) + ")");
    if (!sawRoot || !rootClosed) return notOurs("no <" + std::string(kRootElement) + "> element");
    config = result;
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
