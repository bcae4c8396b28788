// Method lookup for GetIndex on an object that lacks the member: the class
// chain named by __class__ / __parent__, answered through a per-site cache and
// a per-machine cache.
#include <string>

#include "machine.h"

namespace calvex {

Value Machine::lookup_method(Value obj, const Value& key, MethodIC& ic) {
    const Value* cls = obj.members().find(k_class);
    if (!cls || !cls->is_string()) return Value();
    const Value* answer = nullptr;
    if (vmi::method_ic_hit(ic, cls, key)) {
        answer = &ic.answer;
    } else {
        std::string_view c = cls->as_string(), m = key.as_string();
        std::string ck = std::to_string(c.size());
        ck += ':';
        ck += c;
        ck += m;
        auto it = method_cache.find(ck);
        if (it == method_cache.end()) {
            // Walk the class chain. A chain longer than the number of globals
            // must revisit a class, and a revisited class can only repeat the
            // same walk, so that bound ends cycles with a negative answer.
            Value found;
            std::string curname(c);
            for (size_t steps = 0; steps <= globals.size(); ++steps) {
                auto g = global_index.find(curname);
                if (g == global_index.end()) break;
                const Value& gv = globals[g->second];
                if (!gv.is_object()) break;
                const Value* meths = gv.members().find(k_methods);
                if (meths && meths->is_object()) {
                    const Value* s = meths->members().find(key);
                    if (s && s->is_string()) {
                        found = Value::function(s->as_string());
                        break;
                    }
                }
                const Value* parent = gv.members().find(k_parent);
                if (!parent || !parent->is_string() || parent->as_string().empty()) break;
                curname = std::string(parent->as_string());
            }
            it = method_cache.emplace(std::move(ck), std::move(found)).first;
        }
        ic.cls = *cls;
        ic.key = key;
        ic.answer = it->second;
        answer = &ic.answer;
    }
    if (answer->is_nil()) return Value();
    return Value::bind(spare_method, std::move(obj), answer->plain_name_cell());
}

}  // namespace calvex
