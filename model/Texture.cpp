#include "model/Texture.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "model/TextureUpload.h"
#include "platform/Paths.h"
#include "platform/WorkerPool.h"

// ---- Decoding a file. ----

bool allocateImage(DecodedImage& out, int64_t width, int64_t height) {
    if (!imageSizeAllowed(width, height)) return false;
    try {
        out.rgba.assign(std::size_t(width) * std::size_t(height) * 4, 0);
    } catch (const std::bad_alloc&) {
        out.rgba = std::vector<uint8_t>();
        return false;
    }
    out.width = int(width);
    out.height = int(height);
    return true;
}

ImageKind detectImageKind(const uint8_t* bytes, std::size_t size, const char* fileName) {
    if (size >= 2 && bytes[0] == 'B' && bytes[1] == 'M') return ImageKind::BMP;
    // The TGA 2.0 footer ends in "TRUEVISION-XFILE.\0"; its start is 18 bytes from the end.
    if (size >= 18 && std::memcmp(bytes + size - 18, "TRUE", 4) == 0) return ImageKind::TGA;
    if (size >= 4 && bytes[0] == 0x89 && bytes[1] == 'P' && bytes[2] == 'N' && bytes[3] == 'G') return ImageKind::PNG;
    if (size >= 2 && bytes[0] == 0xFF && bytes[1] == 0xD8) return ImageKind::JPEG;
    if (size >= 4 && std::memcmp(bytes, "DDS ", 4) == 0) return ImageKind::DDS;
    // Older TGA files have no signature at all; only the name tells.
    const std::size_t n = fileName ? std::strlen(fileName) : 0;
    if (n >= 5) {
        const char* e = fileName + n - 3;
        if ((e[0] | 0x20) == 't' && (e[1] | 0x20) == 'g' && (e[2] | 0x20) == 'a') return ImageKind::TGA;
    }
    return ImageKind::None;
}

bool decodeWithFallback(const char* path, DecodedImage& out) {
    out = DecodedImage{};
    cv::Mat bgr;
    try {
        bgr = cv::imread(path, cv::IMREAD_COLOR);
    } catch (const cv::Exception&) {
        return false;
    }
    if (bgr.empty() || bgr.type() != CV_8UC3) return false;
    DecodedImage image;
    if (!allocateImage(image, bgr.cols, bgr.rows)) return false;
    cv::Mat rgba(bgr.rows, bgr.cols, CV_8UC4, image.rgba.data());
    cv::cvtColor(bgr, rgba, cv::COLOR_BGR2RGBA);  // writes into image.rgba: same size and type
    image.fromFallback = true;
    out = std::move(image);
    return true;
}

namespace {

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

bool readWholeFile(const std::string& path, std::vector<uint8_t>& bytes, std::string& problem) {
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        problem = std::string("cannot open file: ") + std::strerror(errno);
        return false;
    }
    struct stat info;
    if (fstat(fileno(file.get()), &info) != 0) {
        problem = std::string("cannot read file: ") + std::strerror(errno);
        return false;
    }
    // A folder opens for reading too, but has no bytes to give.
    if (!S_ISREG(info.st_mode)) {
        problem = "cannot read file: not a regular file";
        return false;
    }
    bytes.resize(std::size_t(info.st_size));
    if (!bytes.empty() && std::fread(bytes.data(), 1, bytes.size(), file.get()) != bytes.size()) {
        problem = std::string("cannot read file: ") + (std::ferror(file.get()) ? std::strerror(errno) : "it ends early");
        return false;
    }
    return true;
}

}  // namespace

bool decodeTextureFile(const char* cp932Name, DecodedImage& out, std::string* reason) {
    out = DecodedImage{};
    const std::string path = resolveTexturePath(cp932Name ? cp932Name : "");
    std::vector<uint8_t> bytes;
    std::string problem;
    if (!readWholeFile(path, bytes, problem)) {
        if (reason) *reason = path + ": " + problem;
        return false;
    }
    // A picture too large to hold is refused on its header's word, before our decoder
    // or the fallback (which has no such limit) allocates it.
    const ImageKind kind = detectImageKind(bytes.data(), bytes.size(), cp932Name);
    int64_t width = 0, height = 0;
    if (claimedImageSize(bytes.data(), bytes.size(), kind, width, height) && width > 0 && height > 0 &&
        !imageSizeAllowed(width, height)) {
        if (reason)
            *reason = path + ": the picture is " + std::to_string(width) + " x " + std::to_string(height) +
                      " pixels, more than a texture may have (" + std::to_string(kMaxImageSide) +
                      " on a side and " + std::to_string(kMaxImagePixels) + " pixels at most)";
        return false;
    }
    bool decoded = false;
    switch (kind) {
        case ImageKind::BMP: decoded = decodeBMP(bytes.data(), bytes.size(), out); break;
        case ImageKind::TGA: decoded = decodeTGA(bytes.data(), bytes.size(), out); break;
        case ImageKind::PNG: decoded = decodePNG(bytes.data(), bytes.size(), out); break;
        case ImageKind::JPEG: decoded = decodeJPEG(bytes.data(), bytes.size(), out); break;
        case ImageKind::DDS: decoded = decodeDDS(bytes.data(), bytes.size(), out); break;
        case ImageKind::None: break;
    }
    bytes = std::vector<uint8_t>();  // the fallback reads the file itself
    if (decoded) return true;
    if (decodeWithFallback(path.c_str(), out)) return true;
    if (reason) *reason = path + ": not an image this program can read, or a damaged one";
    return false;
}

// ---- Pictures decoded ahead of their upload. ----

namespace {

// Which file a decoded picture came from: a name resolved to the same file, and a file
// not changed since, share it.
struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = -1;
    int64_t modifiedNs = -1;
    bool operator==(const FileIdentity& o) const {
        return device == o.device && inode == o.inode && size == o.size && modifiedNs == o.modifiedNs;
    }
};

bool identify(const std::string& path, FileIdentity& id) {
    struct stat info;
    if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
    id.device = info.st_dev;
    id.inode = info.st_ino;
    id.size = info.st_size;
    id.modifiedNs = int64_t(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
    return true;
}

struct Prefetched {
    std::string cp932Name;  // as first named; decodeTextureFile wants this form
    FileIdentity id;
    bool decoded = false;
    DecodedImage image;
    std::string reason;
};

std::vector<Prefetched> g_prefetched;

const Prefetched* findPrefetched(const FileIdentity& id) {
    for (const Prefetched& p : g_prefetched)
        if (p.id == id) return &p;
    return nullptr;
}

void decodeOne(uint32_t task, void* user) {
    Prefetched& p = (*static_cast<std::vector<Prefetched>*>(user))[task];
    try {
        p.decoded = decodeTextureFile(p.cp932Name.c_str(), p.image, &p.reason);
    } catch (const std::exception& e) {
        // The task runs on a worker thread, where nothing could catch it.
        p.decoded = false;
        p.image = DecodedImage{};
        p.reason = resolveTexturePath(p.cp932Name.c_str()) + ": " + e.what();
    }
}

}  // namespace

void prefetchTextures(const std::vector<std::string>& cp932Names) {
    std::vector<Prefetched> next;
    std::vector<Prefetched> toDecode;
    for (const std::string& name : cp932Names) {
        if (name.empty()) continue;
        FileIdentity id;
        // A missing file is left to the load itself, which reports it.
        if (!identify(resolveTexturePath(name.c_str()), id)) continue;
        bool known = false;
        for (const Prefetched& p : next) known = known || p.id == id;
        for (const Prefetched& p : toDecode) known = known || p.id == id;
        if (known) continue;
        bool reused = false;
        for (Prefetched& old : g_prefetched) {
            if (old.id == id) {
                next.push_back(std::move(old));
                old.id = FileIdentity{};
                reused = true;
                break;
            }
        }
        if (reused) continue;
        Prefetched p;
        p.cp932Name = name;
        p.id = id;
        toDecode.push_back(std::move(p));
    }
    // Pictures the new model does not use go before the new ones are decoded.
    g_prefetched.clear();
    g_prefetched.shrink_to_fit();
    sharedWorkerPool().run(static_cast<uint32_t>(toDecode.size()), decodeOne, &toDecode);
    for (Prefetched& p : toDecode) next.push_back(std::move(p));
    g_prefetched = std::move(next);
}

void dropPrefetchedTextures() {
    g_prefetched.clear();
    g_prefetched.shrink_to_fit();
}

// ---- Upload hooks. ----

namespace {

int32_t uploadThroughGL(const DecodedImage& image, void*) { return uploadTextureGL(image); }
void deleteThroughGL(uint32_t glName, void*) { deleteTextureGL(glName); }

TextureUploader g_uploader = uploadThroughGL;
void* g_uploaderUser = nullptr;
TextureDeleter g_deleter = deleteThroughGL;
void* g_deleterUser = nullptr;
std::string g_lastError;

}  // namespace

void setTextureUploader(TextureUploader uploader, void* user) {
    g_uploader = uploader ? uploader : uploadThroughGL;
    g_uploaderUser = uploader ? user : nullptr;
}

void setTextureDeleter(TextureDeleter deleter, void* user) {
    g_deleter = deleter ? deleter : deleteThroughGL;
    g_deleterUser = deleter ? user : nullptr;
}

const std::string& lastTextureError() { return g_lastError; }

int32_t loadTextureFile(const char* fileName) {
    if (!fileName || !*fileName) {
        g_lastError = "a material names an empty texture file";
        return -1;
    }
    FileIdentity id;
    const Prefetched* ready = g_prefetched.empty() || !identify(resolveTexturePath(fileName), id) ? nullptr
                                                                                                : findPrefetched(id);
    DecodedImage own;
    if (ready && !ready->decoded) {
        g_lastError = ready->reason;
        return -1;
    }
    if (!ready) {
        std::string reason;
        if (!decodeTextureFile(fileName, own, &reason)) {
            g_lastError = reason;
            return -1;
        }
    }
    const DecodedImage& image = ready ? ready->image : own;
    const int32_t name = g_uploader(image, g_uploaderUser);
    if (name < 0) g_lastError = resolveTexturePath(fileName) + ": the texture could not be created";
    return name;
}

// ---- The caches. ----

int32_t acquireTexture(TextureCache& cache, const char* fileName) {
    if (!fileName) return -1;
    for (TextureEntry* e = cache; e; e = e->next) {
        if (std::strcmp(e->fileName, fileName) == 0) {
            ++e->refCount;
            return int32_t(e->glName);
        }
    }
    const int32_t name = loadTextureFile(fileName);
    if (name < 0) return -1;
    auto* entry = new TextureEntry;
    entry->glName = uint32_t(name);
    entry->refCount = 1;
    entry->next = cache;
    // A name too long for the node is kept cut short; it then never matches, and each
    // request for it loads its own texture, which is still released correctly.
    std::snprintf(entry->fileName, sizeof entry->fileName, "%s", fileName);
    cache = entry;
    return name;
}

void releaseTexture(uint32_t glName, TextureCache& cache) {
    for (TextureEntry** link = &cache; *link; link = &(*link)->next) {
        TextureEntry* e = *link;
        if (e->glName != glName) continue;
        if (--e->refCount <= 0) {
            g_deleter(e->glName, g_deleterUser);
            *link = e->next;
            delete e;
        }
        return;
    }
}

void clearTextureCache(TextureCache& cache) {
    while (TextureEntry* e = cache) {
        cache = e->next;
        g_deleter(e->glName, g_deleterUser);
        delete e;
    }
}
