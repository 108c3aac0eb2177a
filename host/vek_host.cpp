/*
 * vek_host.cpp - the loader of the stand-in plug-in host (see vek_host.h).
 *
 * One process-wide Host behind a recursive mutex: the registration callbacks
 * run on the loading thread while it holds the lock (hence recursive), and
 * the lock is released while a component's VEK_CMP_LINK or VEK_CMP_START
 * runs, so that threads those entries start can look interfaces up.
 * Components, interfaces and dependencies live in deques: handles and the
 * strings handed out stay put while the registry grows.
 */
#include "host/vek_host.h"

#include <dlfcn.h>
#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <deque>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "public/osdef.h"

#ifndef VEKHOST_PLUGIN_DIR
#define VEKHOST_PLUGIN_DIR "/usr/local/lib/vek"
#endif

namespace {

struct Interface {
    std::string name;
    void *function;
};

struct Dependency {
    std::string name;
    bool load; /* false: registered through the no-load callback */
};

struct Component {
    std::string name;
    std::string library; /* real path of the library file */
    void *dl = nullptr;
    std::deque<Interface> interfaces;
    std::deque<Dependency> dependencies;
    bool complete = false;
    bool linked = false;
    bool link_failed = false;
    bool started = false;
};

/* The library whose vek_component_registration is running. */
struct LoadContext {
    std::string library;
    void *dl = nullptr;
    std::string refusal; /* why register-component returned 0, if it did */
    std::vector<Component *> registered;
};

struct Host {
    std::vector<std::string> args;
    std::deque<Component> components;
    LoadContext *loading = nullptr;
    std::vector<void *> opened; /* dl handles opened by the running vek_host_load */
};

std::recursive_mutex g_mutex;
Host *g_host = nullptr; /* never a static object: no destructor runs at exit */

using Lock = std::unique_lock<std::recursive_mutex>;

int report(char *err, size_t errlen, const std::string &message)
{
    if (err != nullptr && errlen > 0)
        snprintf(err, errlen, "%s", message.c_str());
    return -1;
}

void clear_error(char *err, size_t errlen)
{
    if (err != nullptr && errlen > 0)
        err[0] = '\0';
}

std::string quoted(const std::string &s) { return "'" + s + "'"; }

Component *find_component(const char *name)
{
    if (g_host == nullptr || name == nullptr)
        return nullptr;
    for (Component &c : g_host->components)
        if (c.name == name)
            return &c;
    return nullptr;
}

Component *find_handle(VEK_PLUGIN_H handle)
{
    if (g_host == nullptr || handle == nullptr)
        return nullptr;
    for (Component &c : g_host->components)
        if (reinterpret_cast<VEK_PLUGIN_H>(&c) == handle)
            return &c;
    return nullptr;
}

Interface *find_interface(Component &c, const char *name)
{
    for (Interface &i : c.interfaces)
        if (i.name == name)
            return &i;
    return nullptr;
}

Component *component_at(size_t index)
{
    if (g_host == nullptr || index >= g_host->components.size())
        return nullptr;
    return &g_host->components[index];
}

bool is_file(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string directory_of(const std::string &path)
{
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

/* VEK_PLUGIN_PATH split at ':', empty entries dropped. */
std::vector<std::string> plugin_path_dirs()
{
    std::vector<std::string> dirs;
    const char *env = getenv(VEK_HOST_PLUGIN_PATH_ENV);
    if (env == nullptr)
        return dirs;
    std::string all(env);
    size_t start = 0;
    while (start <= all.size()) {
        size_t colon = all.find(':', start);
        if (colon == std::string::npos)
            colon = all.size();
        if (colon > start)
            dirs.push_back(all.substr(start, colon - start));
        start = colon + 1;
    }
    return dirs;
}

std::string plugin_path_description()
{
    const char *env = getenv(VEK_HOST_PLUGIN_PATH_ENV);
    if (env == nullptr)
        return std::string("in " VEK_HOST_PLUGIN_PATH_ENV " (not set)");
    return std::string("in " VEK_HOST_PLUGIN_PATH_ENV " ('") + env + "')";
}

/* First of the file names found in the directories, in order. */
bool search(const std::vector<std::string> &dirs, const std::vector<std::string> &names,
            std::string &found)
{
    for (const std::string &dir : dirs)
        for (const std::string &name : names) {
            std::string candidate = dir + "/" + name;
            if (is_file(candidate)) {
                found = candidate;
                return true;
            }
        }
    return false;
}

/* Library file names of component NAME, in order of preference. */
std::vector<std::string> library_names(const std::string &component)
{
    if (component == "VEK_BASE")
        return {OSDEF_VEK_BASE_LIBRARY};
    std::string lower;
    for (char ch : component)
        lower += (ch >= 'A' && ch <= 'Z') ? static_cast<char>(ch - 'A' + 'a') : ch;
    return {OSDEF_PLUGIN_PREFIX + lower + OSDEF_PLUGIN_SUFFIX,
            OSDEF_PLUGIN_PREFIX + lower + OSDEF_PLUGIN_DEBUG_SUFFIX};
}

/* --- callbacks handed to a component's registration ---------------------- */

void cb_register_interface(VEK_PLUGIN_H handle, const char *name, void *function)
{
    try {
        Lock lock(g_mutex);
        Component *c = find_handle(handle);
        if (c == nullptr || name == nullptr || name[0] == '\0')
            return;
        if (Interface *i = find_interface(*c, name))
            i->function = function; /* registered again: the last one serves */
        else
            c->interfaces.push_back(Interface{name, function});
    } catch (...) {
        /* Out of memory: the interface stays unregistered. */
    }
}

void add_dependency(VEK_PLUGIN_H handle, const char *name, bool load)
{
    try {
        Lock lock(g_mutex);
        Component *c = find_handle(handle);
        if (c == nullptr || name == nullptr || name[0] == '\0')
            return;
        for (Dependency &d : c->dependencies)
            if (d.name == name) {
                d.load = d.load || load;
                return;
            }
        c->dependencies.push_back(Dependency{name, load});
    } catch (...) {
    }
}

void cb_register_dependency(VEK_PLUGIN_H handle, const char *name) { add_dependency(handle, name, true); }

void cb_register_dependency_noload(VEK_PLUGIN_H handle, const char *name)
{
    add_dependency(handle, name, false);
}

void cb_register_complete(VEK_PLUGIN_H handle)
{
    Lock lock(g_mutex);
    if (Component *c = find_handle(handle))
        c->complete = true;
}

VEK_PLUGIN_H cb_register_component(const char *name, VEK_REGISTER_INTERFACE_T *reg_if,
                                   VEK_REGISTER_COMPLETE_T *reg_complete,
                                   VEK_REGISTER_DEPENDENCY_T *reg_dep,
                                   VEK_REGISTER_DEPENDENCY_T *reg_dep_noload,
                                   const char * /*so_library_filename*/)
{
    if (reg_if != nullptr)
        *reg_if = cb_register_interface;
    if (reg_complete != nullptr)
        *reg_complete = cb_register_complete;
    if (reg_dep != nullptr)
        *reg_dep = cb_register_dependency;
    if (reg_dep_noload != nullptr)
        *reg_dep_noload = cb_register_dependency_noload;
    try {
        Lock lock(g_mutex);
        if (g_host == nullptr || g_host->loading == nullptr)
            return nullptr; /* only during a load does the host know the library */
        LoadContext &ctx = *g_host->loading;
        if (name == nullptr || name[0] == '\0') {
            ctx.refusal = "registered a component without a name";
            return nullptr;
        }
        if (strcmp(name, VEK_HOST_CMP_NAME) == 0) {
            ctx.refusal = "the component name " VEK_HOST_CMP_NAME " is reserved for the host";
            return nullptr;
        }
        if (Component *other = find_component(name)) {
            ctx.refusal = std::string("component name ") + name + " is already registered (by " +
                          quoted(other->library) + ")";
            return nullptr;
        }
        g_host->components.emplace_back();
        Component &c = g_host->components.back();
        c.name = name;
        c.library = ctx.library;
        c.dl = ctx.dl;
        ctx.registered.push_back(&c);
        return reinterpret_cast<VEK_PLUGIN_H>(&c);
    } catch (...) {
        return nullptr;
    }
}

/* --- loading ----------------------------------------------------------------- */

/* Drops the components registered since the registry had `mark` entries. */
void truncate_registry(size_t mark)
{
    while (g_host->components.size() > mark)
        g_host->components.pop_back();
}

bool load_library(const std::string &file, std::string &message);

bool load_dependencies(Component &c, std::string &message)
{
    for (size_t k = 0; k < c.dependencies.size(); ++k) {
        const Dependency dep = c.dependencies[k];
        if (!dep.load || find_component(dep.name.c_str()) != nullptr)
            continue;
        const std::string who = "component " + c.name + " (" + quoted(c.library) + ")";
        if (dep.name.find('/') != std::string::npos) {
            message = who + " depends on " + quoted(dep.name) + ", which is no component name";
            return false;
        }
        std::vector<std::string> names = library_names(dep.name);
        std::string beside = directory_of(c.library);
        std::vector<std::string> dirs{beside};
        for (const std::string &d : plugin_path_dirs())
            dirs.push_back(d);
        dirs.push_back(VEKHOST_PLUGIN_DIR);
        std::string file;
        if (!search(dirs, names, file)) {
            message = who + " depends on " + dep.name + ", but " + names[0] +
                      " was found neither beside it in " + quoted(beside) + ", nor " +
                      plugin_path_description() + ", nor in " + quoted(VEKHOST_PLUGIN_DIR);
            return false;
        }
        std::string inner;
        if (!load_library(file, inner)) {
            message = "cannot load dependency " + dep.name + " of " + who + ": " + inner;
            return false;
        }
        if (find_component(dep.name.c_str()) == nullptr) {
            message = "library " + quoted(file) + ", loaded for dependency " + dep.name + " of " +
                      who + ", did not register component " + dep.name;
            return false;
        }
    }
    return true;
}

/* Loads one library file, registers its components and loads their
 * dependencies.  On failure the caller rolls the registry back. */
bool load_library(const std::string &file, std::string &message)
{
    char resolved[PATH_MAX];
    if (realpath(file.c_str(), resolved) == nullptr) {
        message = "cannot load component library " + quoted(file) + ": " + strerror(errno);
        return false;
    }
    const std::string library(resolved);
    for (const Component &c : g_host->components)
        if (c.library == library)
            return true; /* loaded already */
    if (!is_file(library)) {
        message = "cannot load component library " + quoted(library) + ": not a regular file";
        return false;
    }

    dlerror();
    void *dl = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (dl == nullptr) {
        const char *why = dlerror();
        message = "cannot load component library " + quoted(library) +
                  ": dlopen failed: " + (why != nullptr ? why : "unknown error");
        return false;
    }
    dlerror();
    void *symbol = dlsym(dl, OSDEF_REGISTRATION_SYMBOL);
    if (symbol == nullptr) {
        dlclose(dl);
        message = "component library " + quoted(library) + " has no symbol " OSDEF_REGISTRATION_SYMBOL;
        return false;
    }
    auto registration = reinterpret_cast<VEK_COMPONENT_REGISTRATION_T>(symbol);

    const size_t mark = g_host->components.size();
    LoadContext ctx;
    ctx.library = library;
    ctx.dl = dl;
    LoadContext *outer = g_host->loading;
    g_host->loading = &ctx;
    VEK_PLUGIN_H handle = registration(cb_register_component, library.c_str());
    g_host->loading = outer;

    std::string problem;
    if (handle == nullptr) {
        if (!ctx.refusal.empty())
            problem = "component library " + quoted(library) + " was refused: " + ctx.refusal;
        else
            problem = "component library " + quoted(library) +
                      " refused its registration (" OSDEF_REGISTRATION_SYMBOL " returned 0)";
    } else if (std::find(ctx.registered.begin(), ctx.registered.end(),
                         reinterpret_cast<Component *>(handle)) == ctx.registered.end()) {
        problem = "component library " + quoted(library) + ": " OSDEF_REGISTRATION_SYMBOL
                  " returned a handle the host did not give out";
    } else {
        for (Component *c : ctx.registered)
            if (!c->complete) {
                problem = "component " + c->name + " (" + quoted(library) +
                          ") did not complete its registration";
                break;
            }
    }
    if (!problem.empty()) {
        truncate_registry(mark);
        dlclose(dl);
        message = problem;
        return false;
    }
    g_host->opened.push_back(dl);

    for (Component *c : ctx.registered)
        if (!load_dependencies(*c, message))
            return false;
    return true;
}

/* Where a library named on the command line is: the path itself, or for a
 * bare file name not in the current directory, the plug-in directories. */
bool locate_top(const std::string &path, std::string &file, std::string &message)
{
    if (path.find('/') != std::string::npos || is_file(path)) {
        file = path;
        return true;
    }
    std::vector<std::string> dirs = plugin_path_dirs();
    dirs.push_back(VEKHOST_PLUGIN_DIR);
    if (search(dirs, {path}, file))
        return true;
    message = "component library " + quoted(path) + " not found: not in the current directory, nor " +
              plugin_path_description() + ", nor in " + quoted(VEKHOST_PLUGIN_DIR);
    return false;
}

/* Dependencies before dependants, otherwise registration order. */
void visit(Component &c, std::vector<Component *> &order, std::vector<int> &state)
{
    size_t index = 0;
    while (&g_host->components[index] != &c)
        ++index;
    if (state[index] != 0)
        return; /* done, or in progress (a cycle) */
    state[index] = 1;
    for (const Dependency &d : c.dependencies)
        if (Component *dep = find_component(d.name.c_str()))
            visit(*dep, order, state);
    state[index] = 2;
    order.push_back(&c);
}

std::vector<Component *> start_order()
{
    std::vector<Component *> order;
    std::vector<int> state(g_host->components.size(), 0);
    for (Component &c : g_host->components)
        visit(c, order, state);
    return order;
}

const char *no_host_message = "no host: vek_host_create has not been called";

} // namespace

/* --- C API ------------------------------------------------------------------ */

extern "C" int vek_host_create(const char *const *args, size_t nargs, char *err, size_t errlen)
{
    clear_error(err, errlen);
    try {
        Lock lock(g_mutex);
        if (g_host != nullptr)
            return report(err, errlen, "a host exists already in this process (one host per process)");
        if (nargs > 0 && args == nullptr)
            return report(err, errlen, "argument list is null");
        Host *host = new Host;
        for (size_t i = 0; i < nargs; ++i) {
            if (args[i] == nullptr) {
                delete host;
                return report(err, errlen, "argument " + std::to_string(i) + " is null");
            }
            host->args.emplace_back(args[i]);
        }
        g_host = host;
        return 0;
    } catch (const std::bad_alloc &) {
        return report(err, errlen, "out of memory");
    }
}

extern "C" void vek_host_destroy(void)
{
    Lock lock(g_mutex);
    delete g_host;
    g_host = nullptr;
}

extern "C" int vek_host_exists(void)
{
    Lock lock(g_mutex);
    return g_host != nullptr;
}

extern "C" int vek_host_load(const char *library_path, char *err, size_t errlen)
{
    clear_error(err, errlen);
    try {
        Lock lock(g_mutex);
        if (g_host == nullptr)
            return report(err, errlen, no_host_message);
        if (g_host->loading != nullptr)
            return report(err, errlen, "cannot load a component library from inside a registration");
        if (library_path == nullptr || library_path[0] == '\0')
            return report(err, errlen, "no component library given");
        std::string file, message;
        if (!locate_top(library_path, file, message))
            return report(err, errlen, message);
        const size_t mark = g_host->components.size();
        g_host->opened.clear();
        bool ok = load_library(file, message);
        if (!ok) {
            truncate_registry(mark);
            for (size_t i = g_host->opened.size(); i-- > 0;)
                dlclose(g_host->opened[i]);
        }
        g_host->opened.clear();
        return ok ? 0 : report(err, errlen, message);
    } catch (const std::bad_alloc &) {
        return report(err, errlen, "out of memory");
    }
}

extern "C" int vek_host_override(const char *component, const char *interface, void *function,
                                 void **previous, char *err, size_t errlen)
{
    clear_error(err, errlen);
    if (previous != nullptr)
        *previous = nullptr;
    try {
        Lock lock(g_mutex);
        if (g_host == nullptr)
            return report(err, errlen, no_host_message);
        if (component == nullptr || interface == nullptr || interface[0] == '\0')
            return report(err, errlen, "override needs a component and an interface name");
        Component *c = find_component(component);
        if (c == nullptr)
            return report(err, errlen, std::string("cannot override ") + interface +
                                           ": no component " + component + " is registered");
        if (Interface *i = find_interface(*c, interface)) {
            if (previous != nullptr)
                *previous = i->function;
            i->function = function;
        } else {
            c->interfaces.push_back(Interface{interface, function});
        }
        return 0;
    } catch (const std::bad_alloc &) {
        return report(err, errlen, "out of memory");
    }
}

extern "C" int vek_host_start(char *err, size_t errlen)
{
    clear_error(err, errlen);
    try {
        Lock lock(g_mutex);
        if (g_host == nullptr)
            return report(err, errlen, no_host_message);
        for (const Component &c : g_host->components)
            if (c.link_failed)
                return report(err, errlen, "component " + c.name + " (" + quoted(c.library) +
                                               ") failed to link: its VEK_CMP_LINK returned 0");
        for (Component &c : g_host->components)
            for (const Dependency &d : c.dependencies)
                if (d.load && find_component(d.name.c_str()) == nullptr)
                    return report(err, errlen, "component " + c.name + " depends on " + d.name +
                                                   ", which is not loaded");

        const std::vector<Component *> order = start_order();
        for (Component *c : order) {
            if (c->linked)
                continue;
            c->linked = true;
            Interface *i = find_interface(*c, "VEK_CMP_LINK");
            if (i == nullptr || i->function == nullptr)
                continue;
            auto link = reinterpret_cast<VEK_CMP_LINK_T>(i->function);
            lock.unlock();
            int linked = link(vek_host_lookup);
            lock.lock();
            if (g_host == nullptr)
                return report(err, errlen, "the host was destroyed while starting");
            if (linked == 0) {
                c->link_failed = true;
                return report(err, errlen, "component " + c->name + " (" + quoted(c->library) +
                                               ") failed to link: its VEK_CMP_LINK returned 0");
            }
        }
        for (Component *c : order) {
            if (c->started)
                continue;
            c->started = true;
            Interface *i = find_interface(*c, "VEK_CMP_START");
            if (i == nullptr || i->function == nullptr)
                continue;
            auto start = reinterpret_cast<VEK_CMP_START_T>(i->function);
            lock.unlock();
            start(vek_host_lookup);
            lock.lock();
            if (g_host == nullptr)
                return report(err, errlen, "the host was destroyed while starting");
        }
        return 0;
    } catch (const std::bad_alloc &) {
        return report(err, errlen, "out of memory");
    }
}

extern "C" const char *vek_host_get_arg(const char *name)
{
    if (name == nullptr)
        return nullptr;
    Lock lock(g_mutex);
    if (g_host == nullptr)
        return nullptr;
    for (const std::string &arg : g_host->args)
        if (arg == name)
            return arg.c_str();
    return nullptr;
}

extern "C" void *vek_host_lookup(const char *component, const char *interface)
{
    if (component == nullptr || interface == nullptr)
        return nullptr;
    Lock lock(g_mutex);
    if (g_host == nullptr)
        return nullptr;
    if (strcmp(component, VEK_HOST_CMP_NAME) == 0) {
        if (strcmp(interface, "VEK_HOST_GET_ARG") == 0)
            return reinterpret_cast<void *>(&vek_host_get_arg);
        return nullptr;
    }
    Component *c = find_component(component);
    if (c == nullptr)
        return nullptr;
    Interface *i = find_interface(*c, interface);
    return i != nullptr ? i->function : nullptr;
}

extern "C" void *vek_host_library_handle(const char *component)
{
    Lock lock(g_mutex);
    Component *c = find_component(component);
    return c != nullptr ? c->dl : nullptr;
}

extern "C" const char *vek_host_plugin_dir(void) { return VEKHOST_PLUGIN_DIR; }

extern "C" size_t vek_host_component_count(void)
{
    Lock lock(g_mutex);
    return g_host != nullptr ? g_host->components.size() : 0;
}

extern "C" const char *vek_host_component_name(size_t component)
{
    Lock lock(g_mutex);
    Component *c = component_at(component);
    return c != nullptr ? c->name.c_str() : nullptr;
}

extern "C" const char *vek_host_component_library(size_t component)
{
    Lock lock(g_mutex);
    Component *c = component_at(component);
    return c != nullptr ? c->library.c_str() : nullptr;
}

extern "C" int vek_host_component_started(size_t component)
{
    Lock lock(g_mutex);
    Component *c = component_at(component);
    return c != nullptr && c->started;
}

extern "C" size_t vek_host_interface_count(size_t component)
{
    Lock lock(g_mutex);
    Component *c = component_at(component);
    return c != nullptr ? c->interfaces.size() : 0;
}

extern "C" const char *vek_host_interface_name(size_t component, size_t interface)
{
    Lock lock(g_mutex);
    Component *c = component_at(component);
    if (c == nullptr || interface >= c->interfaces.size())
        return nullptr;
    return c->interfaces[interface].name.c_str();
}

extern "C" size_t vek_host_dependency_count(size_t component)
{
    Lock lock(g_mutex);
    Component *c = component_at(component);
    return c != nullptr ? c->dependencies.size() : 0;
}

extern "C" const char *vek_host_dependency_name(size_t component, size_t dependency)
{
    Lock lock(g_mutex);
    Component *c = component_at(component);
    if (c == nullptr || dependency >= c->dependencies.size())
        return nullptr;
    return c->dependencies[dependency].name.c_str();
}

extern "C" int vek_host_dependency_loads(size_t component, size_t dependency)
{
    Lock lock(g_mutex);
    Component *c = component_at(component);
    if (c == nullptr || dependency >= c->dependencies.size())
        return 0;
    return c->dependencies[dependency].load ? 1 : 0;
}
