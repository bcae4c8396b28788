// Recursive stages on threads with small stacks: a tree that the parser built
// on a large stack is handed to the compiler on a small one.
#include <gtest/gtest.h>

#include <pthread.h>

#include <string>
#include <utility>

#include "common/stack_guard.h"
#include "parser/compiler.h"
#include "parser/lexer.h"
#include "parser/parser.h"

using namespace calvex;

namespace {

// Runs f on a new thread with a `stack` byte stack and waits for it.
template <class F>
void on_thread(size_t stack, F f) {
    pthread_attr_t attr;
    ASSERT_EQ(pthread_attr_init(&attr), 0);
    ASSERT_EQ(pthread_attr_setstacksize(&attr, stack), 0);
    pthread_t t;
    auto trampoline = [](void* p) -> void* {
        (*static_cast<F*>(p))();
        return nullptr;
    };
    ASSERT_EQ(pthread_create(&t, &attr, trampoline, &f), 0);
    pthread_join(t, nullptr);
    pthread_attr_destroy(&attr);
}

Program parse(const std::string& source) {
    auto tokens = tokenize(source);
    EXPECT_TRUE(tokens.ok());
    auto program = parse_program(std::move(tokens.value()));
    EXPECT_TRUE(program.ok()) << program.error().render();
    return std::move(program.value());
}

std::string nested(const std::string& open, const std::string& inner, const std::string& close, int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s += open;
    s += inner;
    for (int i = 0; i < n; ++i) s += close;
    return s;
}

}  // namespace

TEST(StackGuard, KnowsTheThreadStack) {
    int local = 0;
    const uintptr_t here = reinterpret_cast<uintptr_t>(&local);
    EXPECT_NE(thread_stack_low(), 0u);
    EXPECT_LT(thread_stack_low(), here);
    EXPECT_FALSE(StackGuard().exhausted());
    // A margin larger than the whole stack is exhausted at once.
    EXPECT_TRUE(StackGuard(here - thread_stack_low() + 64 * 1024).exhausted());
    on_thread(256 * 1024, [] {
        int inner = 0;
        const uintptr_t low = thread_stack_low();
        const uintptr_t at = reinterpret_cast<uintptr_t>(&inner);
        EXPECT_NE(low, 0u);
        EXPECT_LT(low, at);
        EXPECT_LE(at - low, 256u * 1024);
    });
}

TEST(StackGuard, CompilerFailsCleanlyOnASmallStack) {
    // Parsed at full depth on a thread with a large stack (the frames of a
    // sanitizer build need far more than a release build's).
    constexpr size_t kLarge = 256u << 20;
    for (const auto& source : {nested("f(", "1", ")", 990), nested("[", "", "]", 990),
                               nested("if a {", "", "}", 990), nested("-", "x", "", 990)}) {
        Program program;
        on_thread(kLarge, [&] { program = parse(source); });
        on_thread(128 * 1024, [&] {
            auto compiled = compile_program(program);
            ASSERT_FALSE(compiled.ok()) << source.substr(0, 10);
            EXPECT_EQ(compiled.error(), "Line 1: Nesting too deep");
        });
        // The same tree compiles where the stack allows it.
        on_thread(kLarge, [&] { EXPECT_TRUE(compile_program(program).ok()); });
    }
}

TEST(StackGuard, ParserFailsCleanlyOnASmallStack) {
    const std::string source = nested("[", "", "]", 990);
    on_thread(128 * 1024, [&] {
        auto tokens = tokenize(source);
        ASSERT_TRUE(tokens.ok());
        auto program = parse_program(std::move(tokens.value()));
        ASSERT_FALSE(program.ok());
        EXPECT_EQ(program.error().message, "Nesting too deep");
    });
}
