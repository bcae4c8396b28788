// The native build of hot traces: IR text through the LLVM tools into a
// shared library loaded into the process, in a private build directory.
#include "jit_build.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <initializer_list>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "common/utf8.h"

extern char** environ;

namespace calvex {

namespace {

// Appends `leaf` to `dir`, with a '/' unless `dir` is empty or ends in one.
std::string join_path(std::string_view dir, std::string_view leaf) {
    std::string p(dir);
    if (!p.empty() && p.back() != '/') p += '/';
    p += leaf;
    return p;
}

// Runs `prog`, found through PATH, with stdin from /dev/null and its output
// discarded; true when it exited normally with status 0. The child is always
// waited for, so none is left behind as a zombie.
bool run_tool(const char* prog, std::initializer_list<const std::string*> args) {
    std::vector<char*> argv;
    argv.reserve(args.size() + 2);
    argv.push_back(const_cast<char*>(prog));
    for (const std::string* a : args) argv.push_back(const_cast<char*>(a->c_str()));
    argv.push_back(nullptr);

    posix_spawn_file_actions_t files;
    if (posix_spawn_file_actions_init(&files) != 0) return false;
    posix_spawnattr_t attr;
    if (posix_spawnattr_init(&attr) != 0) {
        posix_spawn_file_actions_destroy(&files);
        return false;
    }
    bool ready = posix_spawn_file_actions_addopen(&files, 0, "/dev/null", O_RDONLY, 0) == 0 &&
                 posix_spawn_file_actions_addopen(&files, 1, "/dev/null", O_WRONLY, 0) == 0 &&
                 posix_spawn_file_actions_adddup2(&files, 1, 2) == 0;
    // A host interpreter typically ignores SIGPIPE; the tools should not
    // inherit that, nor a blocked signal mask.
    sigset_t defaults, empty;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGXFSZ);
    sigemptyset(&empty);
    ready = ready && posix_spawnattr_setsigdefault(&attr, &defaults) == 0 &&
            posix_spawnattr_setsigmask(&attr, &empty) == 0 &&
            posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK) == 0;

    pid_t pid = -1;
    bool started = ready && posix_spawnp(&pid, prog, &files, &attr, argv.data(), environ) == 0;
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&files);
    if (!started) return false;

    int status = 0;
    pid_t r;
    do {
        r = waitpid(pid, &status, 0);
    } while (r < 0 && errno == EINTR);
    return r == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool write_file(const std::string& path, std::string_view text) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd < 0) return false;
    bool ok = true;
    const char* p = text.data();
    size_t left = text.size();
    while (left > 0) {
        ssize_t n = write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            ok = false;
            break;
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
    if (close(fd) != 0) ok = false;
    return ok;
}

bool is_private_dir(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid() &&
           (st.st_mode & 07777) == 0700;
}

// The temporary directory as an absolute path where possible, so that the
// private directory made in it survives a later change of working directory,
// and without trailing slashes, so that one directory has one spelling.
std::string temp_base() {
    const char* env = std::getenv("TMPDIR");
    std::string dir = env != nullptr ? env : "/tmp";
    if (dir.empty() || dir.front() != '/') {
        char cwd[PATH_MAX];
        if (getcwd(cwd, sizeof cwd) != nullptr) dir = dir.empty() ? std::string(cwd) : join_path(cwd, dir);
    }
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    return dir;
}

}  // namespace

std::string trace_stem(std::string_view name) {
    std::string stem = "calvex_trace_";
    for (size_t i = 0; i < name.size();) {
        const Utf8Char c = utf8_next(name, i, Utf8Policy::ByteWise);
        if (c.ok && (c.cp == '-' || is_unicode_alnum(c.cp)))
            stem.append(name.substr(i, c.len));
        else
            stem += '_';
        i += c.len;
    }
    return stem;
}

std::optional<std::string> build_dir() {
    // One directory per temporary directory for the whole process; a
    // predictable name in a shared directory could be planted by another user.
    static std::mutex lock;
    static std::map<std::string, std::string> dirs;
    try {
        std::string base = temp_base();
        std::lock_guard guard(lock);
        std::string& dir = dirs[base];
        if (!dir.empty() && is_private_dir(dir)) return dir;
        std::string templ = join_path(base, "calvex_jit_XXXXXX");
        if (mkdtemp(templ.data()) == nullptr) return std::nullopt;
        // mkdtemp asks for 0700, but a strange umask could have narrowed it.
        if (chmod(templ.c_str(), 0700) != 0) return std::nullopt;
        dir = templ;
        return dir;
    } catch (...) {
        return std::nullopt;
    }
}

NativeBuild native_build(std::string_view name, std::string_view ir) {
    NativeBuild out;
    try {
        std::optional<std::string> dir = build_dir();
        if (!dir) return out;
        const std::string base = join_path(*dir, trace_stem(name));
        out.base = base;
        const std::string ll = base + ".ll", bc = base + ".opt.bc", obj = base + ".o",
                          asm_file = base + ".s", so = base + ".so";

        if (!write_file(ll, ir)) return out;

        const std::string O2 = "-O2", o = "-o", objtype = "-filetype=obj", c = "-c",
                          shared = "-shared", fpic = "-fPIC", lc = "-lc", lm = "-lm";
        const std::string& input = run_tool("opt", {&O2, &o, &bc, &ll}) ? bc : ll;
        if (!run_tool("llc", {&objtype, &o, &obj, &input})) {
            if (!run_tool("llc", {&o, &asm_file, &input})) return out;
            bool assembled = run_tool("cc", {&c, &o, &obj, &asm_file});
            unlink(asm_file.c_str());
            if (!assembled) return out;
        }
        // A library of this name may already be mapped by an earlier build;
        // unlinking first keeps a linker that rewrites in place from
        // truncating pages under it.
        unlink(so.c_str());
        if (!run_tool("cc", {&shared, &fpic, &o, &so, &obj}) &&
            !run_tool("ld", {&shared, &o, &so, &obj, &lc, &lm}))
            return out;

        // Loaded libraries stay for the life of the process, also when the
        // symbol is missing.
        void* lib = dlopen(so.c_str(), RTLD_LAZY);
        if (lib == nullptr) {
            dlerror();
            return out;
        }
        dlerror();
        const std::string symbol(name);
        void* entry = dlsym(lib, symbol.c_str());
        if (entry == nullptr) {
            std::string second = symbol.size() > 5 && symbol.starts_with("trace_") ? symbol.substr(6) : symbol;
            entry = dlsym(lib, second.c_str());
        }
        if (entry == nullptr) return out;

        unlink(ll.c_str());
        unlink(bc.c_str());
        unlink(obj.c_str());
        out.entry = entry;
    } catch (...) {
    }
    return out;
}

}  // namespace calvex
