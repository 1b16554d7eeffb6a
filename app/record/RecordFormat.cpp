#include "app/record/RecordFormat.h"

#include <cctype>

namespace {

std::string lowered(std::string text)
{
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

}  // namespace

const char* recordFormatName(RecordFormat format)
{
    switch (format) {
        case RecordFormat::Mp4: return "mp4";
        case RecordFormat::Mkv: return "mkv";
        case RecordFormat::Avi: return "avi";
    }
    return "avi";
}

bool parseRecordFormat(const std::string& name, RecordFormat& format)
{
    const std::string n = lowered(name);
    for (RecordFormat f : {RecordFormat::Mp4, RecordFormat::Mkv, RecordFormat::Avi}) {
        if (n == recordFormatName(f)) {
            format = f;
            return true;
        }
    }
    return false;
}

bool recordFormatForPath(const std::string& path, RecordFormat& format, std::string& error)
{
    const size_t slash = path.rfind('/');
    const size_t dot = path.rfind('.');
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash) &&
        parseRecordFormat(path.substr(dot + 1), format))
        return true;
    error = "cannot record into \"" + path + "\": the file name must end in .mp4 (H.264 + AAC), "
            ".mkv (H.264 + AAC) or .avi (MPEG-4 + PCM)";
    return false;
}
