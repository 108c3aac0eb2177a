/*
 * component_path.h - where a tool finds lib-vek-yaltime.so when it is not
 * told: beside the tool's own directory, as the build lays it out
 * (bin/../lib/) and as an install does (bin/../lib/vek/); failing both, the
 * bare file name, which the host searches in VEK_PLUGIN_PATH and then in its
 * install plug-in directory.
 */
#ifndef YALTIME_TOOLS_COMPONENT_PATH_H
#define YALTIME_TOOLS_COMPONENT_PATH_H

#include <string>

namespace tools {

/* The directory of the running executable, or "" if it cannot be found. */
std::string executable_dir();

/* The first library that exists under <executable_dir>/../lib{,/vek}, else the bare name. */
std::string default_component_library();

} // namespace tools

#endif /* YALTIME_TOOLS_COMPONENT_PATH_H */
