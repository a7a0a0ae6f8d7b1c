// A file path with its parts split out, a cached status of the file, and the
// whole-file operations that report failure by their result.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <string>

/// Creates every missing directory of `path` but its last component, links
/// followed; 0, or -1 with errno set.
int make_parent_dirs(const std::string& path, mode_t mode);

/// A path split into directory, name and extension, with cached facts about the file.
class file_t {
public:
    /// Splits `path` into its parts; an empty path raises BUG_exception_shell_t.
    explicit file_t(const std::string& path);
    /// Joins `dir` and `name`; only the extension is split out.
    file_t(const std::string& name, const std::string& dir);

    /// Derives name and dir from fullpath, then the extension.
    void split_full_path();
    /// Derives the extension and the dot position from name.
    void split_ext();
    /// Keeps only the text after the last '/'.
    static void strip_dir(std::string& path);
    /// The canonical absolute path, or `path` itself when it cannot be resolved.
    static std::string resolve_path(const std::string& path);
    /// The canonical directory that holds `path`.
    static std::string dir_of(const char* path);
    /// The canonical path, resolved once.
    const std::string& real_path();

    /// Queries the status again (following symbolic links).
    void refresh();
    /// Queries afresh whether the path exists.
    bool exists();
    bool is_dir();
    bool is_file();
    /// The size in bytes; a cached size of 0 is always queried again.
    uint64_t size();
    /// Seconds since 1970-01-01 UTC from the cached status; 0 when unknown.
    uint32_t atime();
    uint32_t mtime();
    uint32_t ctime();
    /// Whether the path itself is a symbolic link (never cached).
    bool is_symlink();
    /// What a file of `mode` is, for a message: "a named pipe", "a directory", ...
    static const char* kind_of(mode_t mode);
    /// The link's target, or fullpath when the path is not a link.
    const std::string& link_target();
    /// "user:group" of the file, "Unknown" when it cannot be queried; computed once.
    const std::string& owner();

    /// Lower-case hexadecimal MD5 of the content, computed once; throws
    /// open_io_error_exception_shell_t or read_io_error_exception_shell_t.
    const std::string& md5();
    /// True when the file (or empty directory) is gone afterwards.
    bool remove();
    /// Replaces the content by `data`, creating missing directories.
    bool write(const std::string& data);
    /// Renames to `dest`, or copies and removes the source across file systems.
    bool move(const std::string& dest);

    std::string name;
    std::string dir;
    std::string fullpath;
    std::string ext;
    /// Index of the last '.' in name; all bits set when there is none.
    size_t dot_pos;

protected:
    struct stat status;
    bool status_failed;
    std::string md5_text;
    std::string owner_text;
    std::string real_path_text;
    std::string link_target_text;
};
