// Whole-file replacement that never leaves a truncated file behind.
//
// The bytes go to a temporary file in the target's own folder (its name begins with "." so
// that store listings pass over it), are flushed to the disk, and the temporary file is then
// renamed over the target. A crash or a full disk at any point leaves either the old file or
// the complete new one. This needs fsync and rename, which the platform file layer does not
// offer, so it calls POSIX directly.
#pragma once

#include <cstddef>
#include <string>

namespace store_io {

enum class WriteStage {
    None,   // success
    Create, // the temporary file could not be created (missing folder, no permission, ...)
    Write,  // writing, flushing, closing or renaming failed; the target is untouched
};

struct WriteResult {
    WriteStage stage = WriteStage::None;
    int error = 0; // errno of the failing call
    explicit operator bool() const { return stage == WriteStage::None; }
};

// Replaces path with length bytes of data. An existing file keeps its permission bits; a new
// one gets 0666 less the umask, as a plain create would.
WriteResult ReplaceFile(const std::string& path, const void* data, size_t length);

// Called, when set, once the temporary file is complete and on disk and just before it is
// renamed over the target. Lets a test stop the process at that very point.
extern void (*g_before_rename)(const char* temp_path);

} // namespace store_io
