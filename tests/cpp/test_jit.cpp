// The trace profiler and the native build of hot traces.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "common/bytecode.h"
#include "vm_engine/ir.h"
#include "vm_engine/jit.h"
#include "vm_engine/jit_build.h"
#include "vm_engine/jit_state.h"
#include "vm_engine/vm.h"

namespace fs = std::filesystem;
using namespace calvex;

namespace {

using I = Instruction;

// ---------------------------------------------------------------- helpers

std::optional<std::string> env(const char* name) {
    const char* v = std::getenv(name);
    return v ? std::optional<std::string>(v) : std::nullopt;
}

void set_env(const char* name, const std::optional<std::string>& v) {
    if (v)
        setenv(name, v->c_str(), 1);
    else
        unsetenv(name);
}

// Where the real tool `name` lives on the PATH the tests started with.
std::optional<std::string> real_tool(const std::string& name, const std::string& path) {
    std::stringstream dirs(path);
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        std::string p = (dir.empty() ? "." : dir) + "/" + name;
        if (access(p.c_str(), X_OK) == 0) return p;
    }
    return std::nullopt;
}

std::string read_file(const fs::path& p) {
    std::ifstream in(p);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void write_script(const fs::path& p, const std::string& body) {
    std::ofstream(p) << "#!/bin/sh\n" << body;
    fs::permissions(p, fs::perms::owner_all);
}

std::set<std::string> listing(const fs::path& dir) {
    std::set<std::string> names;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir, ec)) names.insert(e.path().filename().string());
    return names;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::stringstream s(text);
    for (std::string l; std::getline(s, l);) out.push_back(l);
    return out;
}

// Each test gets its own TMPDIR and a directory for fake tools, and leaves
// PATH, TMPDIR and the working directory as it found them.
class JitTest : public ::testing::Test {
protected:
    void SetUp() override {
        saved_path_ = env("PATH");
        saved_tmpdir_ = env("TMPDIR");
        saved_cwd_ = fs::current_path();
        std::string templ = "/tmp/calvex_jit_test_XXXXXX";
        ASSERT_NE(mkdtemp(templ.data()), nullptr);
        root_ = templ;
        tmp_ = root_ / "tmp";
        bin_ = root_ / "bin";
        fs::create_directories(tmp_);
        fs::create_directories(bin_);
        setenv("TMPDIR", tmp_.c_str(), 1);
    }
    void TearDown() override {
        set_env("PATH", saved_path_);
        set_env("TMPDIR", saved_tmpdir_);
        fs::current_path(saved_cwd_);
        std::error_code ec;
        fs::remove_all(root_, ec);
    }

    std::string orig_path() const { return saved_path_.value_or("/usr/bin:/bin"); }

    // Skips the test unless the real LLVM tools and a C compiler are there.
    bool have_real_tools() {
        for (const char* t : {"opt", "llc", "cc", "ld"})
            if (!real_tool(t, orig_path())) return false;
        return true;
    }

    // Only the fake tools are visible to the build.
    void use_fake_tools() { setenv("PATH", bin_.c_str(), 1); }

    std::optional<std::string> saved_path_, saved_tmpdir_;
    fs::path saved_cwd_, root_, tmp_, bin_;
};

#define REQUIRE_REAL_TOOLS()                                                                  \
    do {                                                                                      \
        if (!have_real_tools())                                                               \
            GTEST_SKIP() << "SKIPPED: opt, llc, cc or ld not found on PATH; install LLVM and " \
                            "a C toolchain to test the native build";                          \
    } while (0)

// A module that opt and llc accept, defining @trace_3 returning 42.
const char* kTrace3Ir =
    "target triple = \"x86_64-unknown-linux-gnu\"\n"
    "declare i64 @__calvex_load_reg(i64)\n"
    "define i64 @trace_3() noinline {\n"
    "entry:\n"
    "  br label %L3\n"
    "L3:\n"
    "  ret i64 42\n"
    "}\n";

// ------------------------------------------------------------- profiler

// Appends 11 instructions, the loop head at 2 past the start:
//     slot = 0; while (slot < n) slot = slot + 1
void append_loop(Code& c, uint64_t slot, int32_t n) {
    const uint64_t b = c.size();
    c.insert(c.end(), {I::push(0), I::make(Op::StoreLocal, slot), I::make(Op::LoadLocal, slot),
                       I::push(n), I::make(Op::Lt), I::make(Op::JumpIfFalse, b + 11),
                       I::make(Op::LoadLocal, slot), I::push(1), I::make(Op::Add),
                       I::make(Op::StoreLocal, slot), I::make(Op::Jump, b + 2)});
}

// The loop at 2..10, then its count as the result.
Code counting_loop(int32_t n) {
    Code c;
    append_loop(c, 0, n);
    c.push_back(I::make(Op::LoadLocal, 0));
    return c;
}

TEST_F(JitTest, LoopBecomesHotOnThousandthJump) {
    use_fake_tools();  // no tools at all: the build fails fast
    Code code = counting_loop(0);
    JitState jit;
    for (int i = 0; i < 999; ++i) jit.on_backward_jump(code, 2, 10);
    const TraceRecord* rec = jit.find(2);
    ASSERT_NE(rec, nullptr);
    EXPECT_EQ(rec->name, "trace_2");
    EXPECT_EQ(rec->instructions, Code(code.begin() + 2, code.begin() + 11));
    EXPECT_EQ(rec->execution_count, 999u);
    EXPECT_FALSE(rec->hot);
    EXPECT_FALSE(rec->ir);
    EXPECT_TRUE(jit_hot_traces_ir(jit).empty());
    EXPECT_EQ(jit.hot_traces(), 0u);

    jit.on_backward_jump(code, 2, 10);
    EXPECT_TRUE(rec->hot);
    ASSERT_TRUE(rec->ir);
    EXPECT_EQ(*rec->ir, generate_ir("trace_2", rec->instructions));
    EXPECT_EQ(rec->native_entry, nullptr);
    auto hot = jit_hot_traces_ir(jit);
    ASSERT_EQ(hot.size(), 1u);
    EXPECT_EQ(hot[0], std::make_pair(std::string("trace_2"), *rec->ir));

    // Hot once: later jumps only count.
    jit.on_backward_jump(code, 2, 10);
    EXPECT_EQ(jit_stats_text(jit),
              "JIT Stats:\n  Total traces: 1\n  Hot traces: 1\n  Compiled: 0\n  Total executions: 1001\n");
}

TEST_F(JitTest, RecordKeepsFirstCopyAndIsSharedByHead) {
    Code code = counting_loop(0);
    JitState jit;
    jit.on_backward_jump(code, 2, 5);
    jit.on_backward_jump(code, 2, 10);
    Code other = {I::make(Op::Nop), I::make(Op::Nop), I::make(Op::Pop), I::make(Op::Jump, 2)};
    jit.on_backward_jump(other, 2, 3);
    const TraceRecord* rec = jit.find(2);
    ASSERT_NE(rec, nullptr);
    EXPECT_EQ(rec->instructions, Code(code.begin() + 2, code.begin() + 6));
    EXPECT_EQ(rec->execution_count, 3u);
    EXPECT_EQ(jit.total_traces(), 1u);
    EXPECT_EQ(jit.total_executions(), 3u);
}

TEST_F(JitTest, TableHoldsAtMost256Records) {
    Code code(300, I::make(Op::Nop));
    JitState jit;
    for (uint64_t head = 0; head < 256; ++head) jit.on_backward_jump(code, head, head + 1);
    EXPECT_EQ(jit.record_count(), 256u);
    jit.on_backward_jump(code, 256, 257);
    jit.on_backward_jump(code, 256, 257);
    EXPECT_EQ(jit.find(256), nullptr);
    EXPECT_EQ(jit.record_count(), 256u);
    EXPECT_EQ(jit.total_traces(), 256u);
    EXPECT_EQ(jit.total_executions(), 256u);
    // Heads already in the table go on counting.
    jit.on_backward_jump(code, 7, 8);
    EXPECT_EQ(jit.find(7)->execution_count, 2u);
    EXPECT_EQ(jit.total_executions(), 257u);
}

Value run(VM& vm) {
    auto r = vm.execute();
    EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error());
    return r.ok() ? r.value() : Value::nil();
}

TEST_F(JitTest, FunctionsLoadedBeforeTheJitReportTheirLoops) {
    use_fake_tools();
    Code body = counting_loop(700);
    body.push_back(I::make(Op::Return));
    VM vm(Code{I::push(0)}, {}, {}, FunctionTable(std::vector<FunctionEntry>{{"count", body, {}, {}, 0}}));
    vm.enable_jit();
    auto r = vm.call(Value::function("count"), {});
    ASSERT_TRUE(r.ok()) << r.error();
    EXPECT_EQ(r.value().as_int(), 700);
    EXPECT_EQ(jit_stats_text(*vm.jit()),
              "JIT Stats:\n  Total traces: 1\n  Hot traces: 0\n  Compiled: 0\n  Total executions: 700\n");
}

TEST_F(JitTest, MachineReportsTakenBackwardJumpsOnly) {
    use_fake_tools();
    // The loop exit (JumpIfFalse 11) is a forward jump: never reported.
    VM vm(counting_loop(999), {}, {}, FunctionTable{});
    EXPECT_EQ(vm.jit(), nullptr);
    vm.enable_jit();
    ASSERT_NE(vm.jit(), nullptr);
    Value v = run(vm);
    EXPECT_TRUE(v.is_int() && v.as_int() == 999);
    const JitState& jit = *vm.jit();
    EXPECT_EQ(jit_stats_text(jit),
              "JIT Stats:\n  Total traces: 1\n  Hot traces: 0\n  Compiled: 0\n  Total executions: 999\n");
    ASSERT_NE(jit.find(2), nullptr);
    EXPECT_FALSE(jit.find(2)->hot);

    // do { i = i + 1 } while (i < 5): JumpIfTrue jumps back only while true.
    VM dw({I::push(0), I::make(Op::StoreLocal, 0), I::make(Op::LoadLocal, 0), I::push(1),
           I::make(Op::Add), I::make(Op::StoreLocal, 0), I::make(Op::LoadLocal, 0), I::push(5),
           I::make(Op::Lt), I::make(Op::JumpIfTrue, 2), I::make(Op::LoadLocal, 0)},
          {}, {}, FunctionTable{});
    dw.enable_jit();
    run(dw);
    EXPECT_EQ(dw.jit()->total_executions(), 4u);
    EXPECT_EQ(dw.jit()->find(2)->instructions.size(), 8u);

    // Enabling again starts from scratch.
    vm.enable_jit();
    EXPECT_EQ(vm.jit()->record_count(), 0u);
    EXPECT_EQ(vm.jit()->total_executions(), 0u);
}

TEST_F(JitTest, RealHotTracesBuildLoadAndCount) {
    REQUIRE_REAL_TOOLS();
    // Two loops of 1000 iterations each: two hot traces, two builds.
    Code code;
    append_loop(code, 0, 1000);
    append_loop(code, 1, 1000);
    VM vm(code, {}, {}, FunctionTable{});
    vm.enable_jit();
    run(vm);
    const JitState& jit = *vm.jit();
    ASSERT_EQ(jit.record_count(), 2u) << jit_stats_text(jit);
    EXPECT_EQ(jit.hot_traces(), 2u);
    for (uint64_t head : {2u, 13u}) {
        const TraceRecord* rec = jit.find(head);
        ASSERT_NE(rec, nullptr);
        ASSERT_TRUE(rec->hot);
        EXPECT_NE(rec->native_entry, nullptr) << "the IR of " << rec->name << " did not build:\n"
                                              << rec->ir.value_or("");
    }
    EXPECT_EQ(jit.compiled(), 2u);
    auto dir = build_dir();
    ASSERT_TRUE(dir);
    EXPECT_EQ(listing(*dir), (std::set<std::string>{"calvex_trace_trace_2.so", "calvex_trace_trace_13.so"}));
}

// --------------------------------------------------------- native build

TEST_F(JitTest, SuccessfulBuildLeavesOnlyTheLibrary) {
    REQUIRE_REAL_TOOLS();
    NativeBuild b = native_build("trace_3", kTrace3Ir);
    ASSERT_NE(b.entry, nullptr);
    EXPECT_EQ(reinterpret_cast<int64_t (*)()>(b.entry)(), 42);
    auto dir = build_dir();
    ASSERT_TRUE(dir);
    EXPECT_EQ(b.base, *dir + "/calvex_trace_trace_3");
    EXPECT_EQ(listing(*dir), std::set<std::string>{"calvex_trace_trace_3.so"});
}

TEST_F(JitTest, SecondLookupDropsTracePrefix) {
    REQUIRE_REAL_TOOLS();
    NativeBuild b = native_build("trace_12", "define i64 @\"12\"() {\n  ret i64 12\n}\n");
    ASSERT_NE(b.entry, nullptr);
    EXPECT_EQ(reinterpret_cast<int64_t (*)()>(b.entry)(), 12);

    // Neither name defined: the library stays loaded, every file stays.
    NativeBuild miss = native_build("trace_5", "define i64 @other() {\n  ret i64 0\n}\n");
    EXPECT_EQ(miss.entry, nullptr);
    for (const char* ext : {".ll", ".opt.bc", ".o", ".so"})
        EXPECT_TRUE(fs::exists(miss.base + ext)) << ext;
}

// How a fake tool behaves: pass (run the real tool), fail, or be absent.
struct ToolCase {
    const char* name;
    std::string opt, llc, cc, ld;  // shell bodies, "" = absent
    std::vector<std::string> calls;  // expected log, B standing for the base path
    std::set<std::string> left;      // endings of the files left
    bool loaded;
    bool needs_real;
};

std::string pass(const char* tool) { return std::string("exec @REAL_") + tool + "@ \"$@\"\n"; }
const std::string kFail = "exit 1\n";
const std::string kKilled = "kill -KILL $$\n";

std::vector<ToolCase> tool_cases() {
    const std::string llc_no_obj = "[ \"$1\" = -filetype=obj ] && exit 3\n" + pass("llc");
    const std::string cc_no_link = "[ \"$1\" = -shared ] && exit 1\n" + pass("cc");
    const std::string cc_no_asm = "[ \"$1\" = -c ] && exit 1\n" + pass("cc");
    return {
        {"OptMissing", "", pass("llc"), pass("cc"), pass("ld"),
         {"llc -filetype=obj -o B.o B.ll", "cc -shared -fPIC -o B.so B.o"}, {".so"}, true, true},
        {"LlcCannotWriteObjects", pass("opt"), llc_no_obj, pass("cc"), pass("ld"),
         {"opt -O2 -o B.opt.bc B.ll", "llc -filetype=obj -o B.o B.opt.bc", "llc -o B.s B.opt.bc",
          "cc -c -o B.o B.s", "cc -shared -fPIC -o B.so B.o"},
         {".so"}, true, true},
        {"AssemblyFailsToAssemble", pass("opt"), llc_no_obj, cc_no_asm, pass("ld"),
         {"opt -O2 -o B.opt.bc B.ll", "llc -filetype=obj -o B.o B.opt.bc", "llc -o B.s B.opt.bc",
          "cc -c -o B.o B.s"},
         {".ll", ".opt.bc"}, false, true},
        {"CcCannotLink", pass("opt"), pass("llc"), cc_no_link, pass("ld"),
         {"opt -O2 -o B.opt.bc B.ll", "llc -filetype=obj -o B.o B.opt.bc",
          "cc -shared -fPIC -o B.so B.o", "ld -shared -o B.so B.o -lc -lm"},
         {".so"}, true, true},
        {"OptKilledBySignal", kKilled, pass("llc"), pass("cc"), pass("ld"),
         {"opt -O2 -o B.opt.bc B.ll", "llc -filetype=obj -o B.o B.ll", "cc -shared -fPIC -o B.so B.o"},
         {".so"}, true, true},
        {"EveryToolFails", kFail, kFail, kFail, kFail,
         {"opt -O2 -o B.opt.bc B.ll", "llc -filetype=obj -o B.o B.ll", "llc -o B.s B.ll"},
         {".ll"}, false, false},
        {"LinkersFail", kFail, pass("llc"), cc_no_link, kFail,
         {"opt -O2 -o B.opt.bc B.ll", "llc -filetype=obj -o B.o B.ll", "cc -shared -fPIC -o B.so B.o",
          "ld -shared -o B.so B.o -lc -lm"},
         {".ll", ".o"}, false, true},
        {"NoToolsAtAll", "", "", "", "", {}, {".ll"}, false, false},
    };
}

class ToolPaths : public JitTest, public ::testing::WithParamInterface<ToolCase> {};

TEST_P(ToolPaths, CommandLinesAndLeftovers) {
    const ToolCase& tc = GetParam();
    if (tc.needs_real) REQUIRE_REAL_TOOLS();
    const fs::path log = bin_ / "log";
    auto install = [&](const char* tool, std::string body) {
        if (body.empty()) return;
        for (const char* real : {"opt", "llc", "cc", "ld"}) {
            std::string key = std::string("@REAL_") + real + "@";
            for (size_t at; (at = body.find(key)) != std::string::npos;)
                body.replace(at, key.size(), real_tool(real, orig_path()).value_or("false"));
        }
        // The real tools find their own helpers (as, ld) through the real PATH.
        write_script(bin_ / tool, "echo \"" + std::string(tool) + " $*\" >> '" + log.string() +
                                      "'\nPATH='" + orig_path() + "'\n" + body);
    };
    install("opt", tc.opt);
    install("llc", tc.llc);
    install("cc", tc.cc);
    install("ld", tc.ld);
    use_fake_tools();

    NativeBuild b = native_build("trace_3", kTrace3Ir);
    ASSERT_FALSE(b.base.empty());
    std::vector<std::string> want;
    for (std::string call : tc.calls) {
        for (size_t at; (at = call.find(" B.")) != std::string::npos;) call.replace(at + 1, 1, b.base);
        want.push_back(call);
    }
    EXPECT_EQ(lines(read_file(log)), want);
    std::set<std::string> left;
    for (const std::string& ext : tc.left) left.insert("calvex_trace_trace_3" + ext);
    EXPECT_EQ(listing(fs::path(b.base).parent_path()), left);
    EXPECT_EQ(b.entry != nullptr, tc.loaded);
    if (b.entry) {
        EXPECT_EQ(reinterpret_cast<int64_t (*)()>(b.entry)(), 42);
    }
}

INSTANTIATE_TEST_SUITE_P(Jit, ToolPaths, ::testing::ValuesIn(tool_cases()),
                         [](const auto& info) { return std::string(info.param.name); });

// ------------------------------------------------------- paths and stems

TEST(JitStem, ReplacesAllButUnicodeAlphanumericsAndDash) {
    const std::pair<std::string, std::string> cases[] = {
        {"trace_12", "calvex_trace_trace_12"},
        {"", "calvex_trace_"},
        {"a b/../c", "calvex_trace_a_b____c"},
        {"x-y.z", "calvex_trace_x-y_z"},
        {"\xC3\xA9t\xC3\xA9\xE2\x82\x82\xD0\xB6", "calvex_trace_\xC3\xA9t\xC3\xA9\xE2\x82\x82\xD0\xB6"},  // é t é ₂ ж
        {"\xE0\xA4\x95\xE0\xA4\xBF", "calvex_trace_\xE0\xA4\x95\xE0\xA4\xBF"},  // क ि (alphabetic mark)
        {"e\xCC\x81", "calvex_trace_e_"},                                  // combining acute: not alphabetic
        {"a\xF0\x9F\x98\x80" "b", "calvex_trace_a_b"},                     // one emoji, one '_'
        {"\xE4\xB8\x89\xE2\x85\xA2", "calvex_trace_\xE4\xB8\x89\xE2\x85\xA2"},  // 三 Ⅲ
        {"a\xFF\xC3" "b", "calvex_trace_a__b"},                              // undecodable bytes
        {"\xED\xA0\x80", "calvex_trace____"},                                // encoded surrogate
        {std::string("a\0b", 3), "calvex_trace_a_b"},
    };
    for (const auto& [name, stem] : cases) EXPECT_EQ(trace_stem(name), stem) << name;
}

TEST_F(JitTest, PrivateDirectoryFollowsTmpdirRule) {
    struct stat st;
    auto check_private = [&](const std::string& dir) {
        ASSERT_EQ(lstat(dir.c_str(), &st), 0) << dir;
        EXPECT_TRUE(S_ISDIR(st.st_mode));
        EXPECT_EQ(st.st_mode & 07777, 0700u);
    };

    auto dir = build_dir();
    ASSERT_TRUE(dir);
    EXPECT_EQ(fs::path(*dir).parent_path(), tmp_);
    EXPECT_EQ(fs::path(*dir).filename().string().rfind("calvex_jit_", 0), 0u);
    check_private(*dir);
    EXPECT_EQ(build_dir(), dir) << "made once, then reused";

    // A trailing slash does not double; a loosened or vanished directory is
    // replaced, since it could have been swapped by someone else.
    setenv("TMPDIR", (tmp_.string() + "/").c_str(), 1);
    EXPECT_EQ(build_dir(), dir);
    chmod(dir->c_str(), 0777);
    auto fresh = build_dir();
    ASSERT_TRUE(fresh);
    EXPECT_NE(*fresh, *dir);
    check_private(*fresh);
    fs::remove_all(*fresh);
    auto again = build_dir();
    ASSERT_TRUE(again);
    check_private(*again);

    // Empty TMPDIR: the working directory.
    fs::create_directories(root_ / "cwd");
    fs::current_path(root_ / "cwd");
    setenv("TMPDIR", "", 1);
    auto here = build_dir();
    ASSERT_TRUE(here);
    EXPECT_EQ(fs::path(*here).parent_path(), root_ / "cwd");

    // Unset: /tmp.
    unsetenv("TMPDIR");
    auto dflt = build_dir();
    ASSERT_TRUE(dflt);
    EXPECT_EQ(fs::path(*dflt).parent_path(), "/tmp");
    check_private(*dflt);
    fs::remove_all(*dflt);

    // An unusable temporary directory: no build directory, nothing written.
    setenv("TMPDIR", (root_ / "missing").c_str(), 1);
    EXPECT_FALSE(build_dir());
    NativeBuild b = native_build("trace_1", kTrace3Ir);
    EXPECT_TRUE(b.base.empty());
    EXPECT_EQ(b.entry, nullptr);
}

TEST_F(JitTest, PlantedFilesInSharedTmpAreNotUsed) {
    // Another user pre-creates the predictable names in the shared directory.
    const fs::path victim = root_ / "victim";
    std::ofstream(victim) << "keep";
    fs::create_symlink(victim, tmp_ / "calvex_trace_trace_3.ll");
    fs::create_symlink(victim, tmp_ / "calvex_trace_trace_3.so");
    use_fake_tools();
    NativeBuild b = native_build("trace_3", kTrace3Ir);
    EXPECT_EQ(read_file(victim), "keep");
    EXPECT_EQ(fs::path(b.base).parent_path().parent_path(), tmp_);
    EXPECT_EQ(read_file(b.base + ".ll"), kTrace3Ir);
}

}  // namespace
