#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace skyvane {

// What became of a file replacement.
struct ReplaceOutcome {
    int error = 0;          // 0 when the file was replaced; otherwise the errno of the failed step
    int otherNames = 0;     // hard links the old file had besides the replaced name: they keep
                            // the old contents (a replacement makes a new file)
    bool replaced() const { return error == 0; }
};

// Replaces the file at path by the bytes that `write` puts into a fresh file, so that the
// file is always either whole and old or whole and new:
//  - Symbolic links are followed (also to a file that does not exist yet): the file they
//    lead to is replaced, the links stay.
//  - The new file keeps the old one's permission bits, and its owner and group where the
//    system allows; a new file gets the permissions the umask gives.
//  - `write` gets a descriptor of an empty file opened for writing in the target's folder
//    (an unnamed one where the file system has them) and returns false on failure, with
//    errno saying why. The bytes are synced to the disk, the file takes the target's name
//    in one rename, and the folder is synced.
//  - On failure the target is untouched and nothing is left behind. A process killed while
//    writing leaves nothing either where unnamed files exist; elsewhere it leaves a hidden
//    ".skyvane-*.tmp" file, which the next replacement of the same target removes.
//  - Any name the file system takes works, 255 bytes long included: temporary names never
//    grow with the target's name, and no part of the path is interpreted.
// Refused without touching anything: a target that is a folder or any other non-regular
// file (EISDIR, EINVAL), an existing file without write permission (EACCES), a missing
// folder (ENOENT), a loop of links (ELOOP).
// With sync false the bytes and the rename are left to the system to write out: a killed
// process still leaves the file whole or absent, but a machine that loses power may keep
// the name with fewer bytes. For new files whose loss costs only their recomputation (the
// results of a job over an image list, written beside inputs that stay untouched).
ReplaceOutcome ReplaceFile(const std::string& path, const std::function<bool(int fd)>& write, bool sync = true);

// Follows symbolic links from path to the file they finally name (which need not exist),
// as ReplaceFile does. False with errno set for a loop or a link that cannot be read.
bool FollowLinks(std::string& path);

// Writes size bytes to fd, carrying on after partial writes and interrupts; false with
// errno set on failure.
bool WriteAll(int fd, const void* data, std::size_t size);

// Whether name is one of the temporary names ReplaceFile gives while replacing target
// (the target's file name, without folder).
bool IsTemporaryNameFor(std::string_view name, std::string_view target);

// For tests: false makes ReplaceFile use named temporary files even where unnamed ones are
// available, as on file systems without them.
void SetUnnamedTemporaryFiles(bool allowed);

} // namespace skyvane
