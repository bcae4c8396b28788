// The native build of one hot trace: IR text through opt, llc, cc (or ld) into
// a shared library that is loaded into the process.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace calvex {

struct NativeBuild {
    // Path of the build files without their ending, e.g.
    // "/tmp/calvex_jit_Ab12Cd/calvex_trace_trace_3"; empty when no private
    // build directory could be had, in which case nothing was written.
    std::string base;
    // Address of the trace's symbol in the loaded library, or nullptr.
    void* entry = nullptr;
};

// Builds and loads the trace `name` from its IR text. Every failure ends the
// build quietly; files written up to that point stay where they are.
NativeBuild native_build(std::string_view name, std::string_view ir);

// "calvex_trace_" + name, every code point that is neither Unicode
// alphanumeric nor '-' replaced by '_' (undecodable bytes one '_' each).
std::string trace_stem(std::string_view name);

// This process's private build directory (mode 0700) inside the temporary
// directory: $TMPDIR, /tmp when unset, the working directory when empty.
// Made with mkdtemp on first use for each temporary directory, and made anew
// if it has vanished or no longer looks private.
std::optional<std::string> build_dir();

}  // namespace calvex
