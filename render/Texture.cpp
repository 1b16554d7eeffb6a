#include "render/Texture.h"


#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <memory>
#include <new>

#include "render/TextureUpload.h"
#include "platform/Paths.h"
#include "platform/WorkerPool.h"

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
        const LoadResult decoded = decodeTextureFile(p.cp932Name.c_str(), p.image);
        p.decoded = decoded.ok();
        if (!decoded) p.reason = decoded.problem().text();
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

// How decoded pictures become textures and how textures go: through GL unless a tool or
// a test installed its own pair.
struct TextureHooks {
    TextureUploader uploader = uploadThroughGL;
    void* uploaderUser = nullptr;
    TextureDeleter deleter = deleteThroughGL;
    void* deleterUser = nullptr;
};
TextureHooks g_hooks;

void tell(std::string* reason, std::string text) {
    if (reason) *reason = std::move(text);
}

}  // namespace

void setTextureUploader(TextureUploader uploader, void* user) {
    g_hooks.uploader = uploader ? uploader : uploadThroughGL;
    g_hooks.uploaderUser = uploader ? user : nullptr;
}

void setTextureDeleter(TextureDeleter deleter, void* user) {
    g_hooks.deleter = deleter ? deleter : deleteThroughGL;
    g_hooks.deleterUser = deleter ? user : nullptr;
}

int32_t loadTextureFile(const char* fileName, std::string* reason) {
    if (!fileName || !*fileName) {
        tell(reason, "a material names an empty texture file");
        return -1;
    }
    FileIdentity id;
    const Prefetched* ready = g_prefetched.empty() || !identify(resolveTexturePath(fileName), id) ? nullptr
                                                                                                : findPrefetched(id);
    DecodedImage own;
    if (ready && !ready->decoded) {
        tell(reason, ready->reason);
        return -1;
    }
    if (!ready) {
        const LoadResult decoded = decodeTextureFile(fileName, own);
        if (!decoded) {
            tell(reason, decoded.problem().text());
            return -1;
        }
    }
    const DecodedImage& image = ready ? ready->image : own;
    const int32_t name = g_hooks.uploader(image, g_hooks.uploaderUser);
    if (name < 0) tell(reason, resolveTexturePath(fileName) + ": the texture could not be created");
    return name;
}

// ---- The caches. ----

int32_t acquireTexture(TextureCache& cache, const char* fileName, std::string* reason) {
    if (!fileName) return -1;
    for (auto e = cache.rbegin(); e != cache.rend(); ++e) {
        if (std::strcmp(e->fileName, fileName) == 0) {
            ++e->refCount;
            return int32_t(e->glName);
        }
    }
    const int32_t name = loadTextureFile(fileName, reason);
    if (name < 0) return -1;
    TextureEntry entry;
    entry.glName = uint32_t(name);
    entry.refCount = 1;
    // A name too long for the entry is kept cut short; it then never matches, and each
    // request for it loads its own texture, which is still released correctly.
    std::snprintf(entry.fileName, sizeof entry.fileName, "%s", fileName);
    cache.push_back(entry);
    return name;
}

void releaseTexture(uint32_t glName, TextureCache& cache) {
    for (auto e = cache.rbegin(); e != cache.rend(); ++e) {
        if (e->glName != glName) continue;
        if (--e->refCount <= 0) {
            g_hooks.deleter(e->glName, g_hooks.deleterUser);
            cache.erase(std::next(e).base());
        }
        return;
    }
}

void clearTextureCache(TextureCache& cache) {
    for (auto e = cache.rbegin(); e != cache.rend(); ++e) g_hooks.deleter(e->glName, g_hooks.deleterUser);
    TextureCache().swap(cache);
}
