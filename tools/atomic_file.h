/*
 * atomic_file.h - replacing a file so that readers see the old one or the
 * new one, and so that no symbolic link can turn the write elsewhere.
 *
 * yaltime-status --output may run as root into a folder that another user
 * can write (node_exporter's textfile folder).  A path that is resolved more
 * than once, or a link followed at any step, would let that user point
 * root's write at any file.  So the folder is opened once, one component at
 * a time from "/" (or the working folder) with O_NOFOLLOW, and everything
 * after goes through that descriptor: the target is examined without
 * following it, the temporary file is created with O_EXCL, and renameat
 * puts it in place (a rename replaces a directory entry, never what a link
 * points at).  A target that is a symbolic link or not a regular file is
 * refused.
 */
#ifndef YALTIME_TOOLS_ATOMIC_FILE_H
#define YALTIME_TOOLS_ATOMIC_FILE_H

#include <string>

namespace atomic_file {

/* Opens the folder `path` names, following no symbolic link on the way; a
 * descriptor, or -1 with `problem` set. */
int open_folder(const std::string &path, std::string &problem);

/* Writes `content` to `path` by way of a temporary file in the same folder
 * (a name starting with ".", which node_exporter's textfile collector
 * skips) and a rename; the file is readable by all (0644).  "" or what
 * failed or was refused. */
std::string write(const std::string &path, const std::string &content);

} // namespace atomic_file

#endif /* YALTIME_TOOLS_ATOMIC_FILE_H */
