// Machine value -> host objects, the walk that native bindings and the
// embedding runtime share. It uses an explicit stack, so any nesting depth
// converts, and a cell that several handles share becomes one host object
// reached from each place: a value built by doubling (`a = [a, a]`) converts
// in time linear in its cells, not in its size as a tree.
#pragma once

#include "host.h"  // first: Python.h must precede the standard headers

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "vm_engine/value.h"

namespace host {

inline bool is_container(const calvex::Value& v) { return v.is_array() || v.is_object(); }

// A member's key as a new str (value_to_host's plain `key`).
inline PyObject* key_text(const calvex::ObjMap& members, size_t i) { return to_str(members.key_at(i).as_string()); }

// What a caller decides about the walk.
//   shell(v): a new reference: the finished object for a leaf, and for an
//     array or object an empty shell of the right kind (a list of its size
//     with its slots unset, a dict), which the walk fills;
//   key(members, i): a new reference: the str for the key of member i;
//   check(): runs every `check_every` nodes; false stops the walk with the
//     host error it set (a signal handler's exception, a limit);
//   on_member_failure: a member the dict refuses (allocation failure) is left
//     out, or ends the walk with the error.
enum class MemberFailure { Skip, Fail };

template <class Shell, class Key, class Check>
PyObject* value_to_host(const calvex::Value& root, Shell&& shell, Key&& key_of, Check&& check, uint64_t check_every,
                        MemberFailure on_member_failure) {
    Ref out = Ref::steal(shell(root));
    if (!out || !is_container(root)) return out.release();

    struct Frame {
        const calvex::Value* src;
        PyObject* dst;  // borrowed: held by its parent (or `out`)
        size_t next;
    };
    std::vector<Frame> stack;
    std::unordered_map<const void*, PyObject*> seen;  // shared cell -> its object (borrowed)
    uint64_t nodes = 0;
    // The object for a child: the one made earlier for the same shared cell,
    // or a new leaf or shell (pushed to be filled). Invalidates `Frame&`s.
    auto child = [&](const calvex::Value& v) -> PyObject* {
        const bool shared = is_container(v) && v.share_count() > 1;
        if (shared) {
            auto it = seen.find(v.cell());
            if (it != seen.end()) return Py_NewRef(it->second);
        }
        PyObject* o = shell(v);
        if (o && is_container(v)) {
            if (shared) seen.emplace(v.cell(), o);
            stack.push_back({&v, o, 0});
        }
        return o;
    };
    stack.push_back({&root, out.get(), 0});
    while (!stack.empty()) {
        if (++nodes % check_every == 0 && !check()) return nullptr;
        Frame& f = stack.back();
        if (f.src->is_array()) {
            const auto& items = f.src->items();
            if (f.next == items.size()) {
                stack.pop_back();
                continue;
            }
            PyObject* list = f.dst;
            const size_t i = f.next++;
            PyObject* o = child(items[i]);  // may grow `stack`: `f` is not used after this
            if (!o) return nullptr;
            PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), o);
        } else {
            const calvex::ObjMap& members = f.src->members();
            if (f.next == members.size()) {
                stack.pop_back();
                continue;
            }
            PyObject* dict = f.dst;
            const size_t i = f.next++;
            Ref key = Ref::steal(key_of(members, i));
            if (!key) return nullptr;
            // The child (when a container) is filled later through the
            // dict's reference to it.
            Ref o = Ref::steal(child(members.value_at(i)));
            if (!o) return nullptr;
            if (PyDict_SetItem(dict, key.get(), o.get()) < 0) {
                if (on_member_failure == MemberFailure::Fail) return nullptr;
                PyErr_Clear();
            }
        }
    }
    return out.release();
}

}  // namespace host
