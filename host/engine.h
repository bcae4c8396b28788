// The long-lived machine behind the host class VMEngine. The functions that
// return PyObject* hand back a new reference, or nullptr with a host error set.
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

namespace calvex {

struct Engine;
struct EngineDeleter {
    void operator()(Engine* e) const noexcept;
};
using EnginePtr = std::unique_ptr<Engine, EngineDeleter>;

// Decode, specialise, optimise and construct a machine from a byte stream.
EnginePtr engine_from_bytes(std::span<const uint8_t> bytes);

PyObject* engine_execute(Engine& e);                // str
PyObject* engine_state(Engine& e);                  // str
PyObject* engine_stats(Engine& e);                  // dict
void engine_enable_jit(Engine& e);
PyObject* engine_collect_hot_traces_ir(Engine& e);  // list of {"name", "ir"}





}  // namespace calvex
