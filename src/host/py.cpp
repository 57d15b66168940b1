#include "host/py.hpp"

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace velmora::py {
namespace {

// The code spells its names, templates and fixed messages as C literals and
// passes the same ones over and over (several per log line). Each is made
// into a Python object once, found again by the literal's address: a lookup
// replaces a UTF-8 decode, an allocation and a hash at every use. The text
// is compared as well, so a buffer reused for other text never gets a stale
// object, and past a bound nothing more is kept (text built at run time
// must not grow the cache without end). The objects live as long as the
// process, like the module itself: releasing them after the interpreter
// has finalised would be an error.
class LiteralCache {
public:
    using Make = PyObject* (*)(const char* utf8);
    explicit LiteralCache(Make make) : make_(make) {}

    Ref get(const char* utf8) {
        // Open addressing on the address, probing linearly: a hit costs a
        // multiplication, a comparison or two and one strcmp.
        std::size_t at = (reinterpret_cast<std::uintptr_t>(utf8) * kGolden) >> kShift;
        for (;; at = (at + 1) & (kSlots - 1)) {
            Slot& slot = slots_[at];
            if (slot.key == utf8) {
                if (std::strcmp(slot.text.c_str(), utf8) == 0) return Ref::borrow(slot.object);
                // The address now holds other text: its entry is replaced.
                Ref made = check(make_(utf8));
                Ref stale = Ref::steal(std::exchange(slot.object, Ref(made).release()));
                slot.text = utf8;
                return made;
            }
            if (slot.key == nullptr) break;
        }
        Ref made = check(make_(utf8));
        if (used_ < kMaxEntries) {
            slots_[at] = Slot{utf8, utf8, Ref(made).release()};
            ++used_;
        }
        return made;
    }

private:
    static constexpr std::uint64_t kGolden = 0x9E3779B97F4A7C15ULL;
    static constexpr unsigned kBits = 11;
    static constexpr unsigned kShift = 64 - kBits;
    static constexpr std::size_t kSlots = std::size_t{1} << kBits;
    static constexpr std::size_t kMaxEntries = kSlots / 2;
    struct Slot {
        const char* key = nullptr;
        std::string text;
        PyObject* object = nullptr;
    };
    Make make_;
    std::size_t used_ = 0;
    std::vector<Slot> slots_ = std::vector<Slot>(kSlots);
};

// Interned, so that attribute and keyword lookups compare by identity.
Ref literal(const char* utf8) {
    static LiteralCache cache(PyUnicode_InternFromString);
    return cache.get(utf8);
}

// template.format, bound once per template.
Ref format_method(const char* templ) {
    static LiteralCache cache([](const char* t) -> PyObject* {
        try {
            return PyObject_GetAttr(literal(t).get(), literal("format").get());
        } catch (const PyError&) {
            return nullptr;
        }
    });
    return cache.get(templ);
}

}  // namespace

Value::Value(bool b) : ref_(boolean(b)) {}
Value::Value(int i) : ref_(integer(i)) {}
Value::Value(long long i) : ref_(integer(i)) {}
Value::Value(double d) : ref_(check(PyFloat_FromDouble(d))) {}
Value::Value(const char* utf8) : ref_(str(utf8)) {}
Value::Value(Ref ref) noexcept : ref_(std::move(ref)) {}

Ref none() { return Ref::borrow(Py_None); }

Ref str(const char* utf8) { return literal(utf8); }

Ref integer(long long i) { return check(PyLong_FromLongLong(i)); }

Ref boolean(bool b) { return Ref::borrow(b ? Py_True : Py_False); }

Ref tuple(Values items) {
    Ref result = check(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (const Value& v : items) {
        // PyTuple_SetItem steals the reference it is given.
        check_status(PyTuple_SetItem(result.get(), i++, Ref(v.ref()).release()));
    }
    return result;
}

Ref list(Values items) {
    Ref result = check(PyList_New(0));
    for (const Value& v : items) append(result, v);
    return result;
}

Ref getattr(PyObject* obj, const char* name) {
    return check(PyObject_GetAttr(obj, literal(name).get()));
}

Ref getattr(const Ref& obj, const char* name) { return getattr(obj.get(), name); }

void setattr(PyObject* obj, const char* name, const Value& value) {
    check_status(PyObject_SetAttr(obj, literal(name).get(), value.ref().get()));
}

namespace {

PyObject* at(Values items, std::size_t i) { return (items.begin() + i)->ref().get(); }

}  // namespace

Ref call(const Ref& callable, Values args, Keywords kwargs) {
    if (kwargs.size() == 0) {
        // The interpreter passes up to three positional values without
        // building a tuple (the vectorcall protocol, behind this entry).
        PyObject* f = callable.get();
        switch (args.size()) {
            case 0: return check(PyObject_CallFunctionObjArgs(f, nullptr));
            case 1: return check(PyObject_CallFunctionObjArgs(f, at(args, 0), nullptr));
            case 2: return check(PyObject_CallFunctionObjArgs(f, at(args, 0), at(args, 1), nullptr));
            case 3:
                return check(PyObject_CallFunctionObjArgs(f, at(args, 0), at(args, 1), at(args, 2),
                                                          nullptr));
            default: break;
        }
    }
    Ref positional = tuple(args);
    Ref keywords;
    if (kwargs.size() != 0) {
        // Dicts keep insertion order, so the callee sees the flags in the
        // order they are listed here.
        keywords = check(PyDict_New());
        for (const Keyword& kw : kwargs) {
            check_status(PyDict_SetItem(keywords.get(), literal(kw.name).get(), kw.value.ref().get()));
        }
    }
    return check(PyObject_Call(callable.get(), positional.get(), keywords.get()));
}

// Looked up and called in one step: no bound method is made for a method
// found on the type (an attribute of the instance still comes first).
Ref call_method(PyObject* obj, const char* name, Values args) {
    Ref n = literal(name);
    switch (args.size()) {
        case 0: return check(PyObject_CallMethodObjArgs(obj, n.get(), nullptr));
        case 1: return check(PyObject_CallMethodObjArgs(obj, n.get(), at(args, 0), nullptr));
        case 2:
            return check(PyObject_CallMethodObjArgs(obj, n.get(), at(args, 0), at(args, 1), nullptr));
        default: return call(getattr(obj, name), args);
    }
}

Ref call_method(const Ref& obj, const char* name, Values args) {
    return call_method(obj.get(), name, args);
}

bool truthy(const Ref& obj) { return check_status(PyObject_IsTrue(obj.get())) != 0; }

bool equals(const Ref& a, const char* utf8) {
    Ref b = str(utf8);
    return check_status(PyObject_RichCompareBool(a.get(), b.get(), Py_EQ)) != 0;
}

long long as_long(const Ref& obj) {
    long long v = PyLong_AsLongLong(obj.get());
    if (v == -1 && PyErr_Occurred() != nullptr) throw PyError{};
    return v;
}

Py_ssize_t length(const Ref& obj) {
    Py_ssize_t n = PyObject_Size(obj.get());
    if (n < 0) throw PyError{};
    return n;
}

Ref item(const Ref& sequence, Py_ssize_t index) {
    Ref key = integer(index);
    return check(PyObject_GetItem(sequence.get(), key.get()));
}

void append(const Ref& list, const Value& value) {
    check_status(PyList_Append(list.get(), value.ref().get()));
}

Ref format(const char* templ, Values args) { return call(format_method(templ), args); }

// The module as the import statement would find it, without going through
// the import machinery at every call (print and open are wanted per log line).
Ref builtin(const char* name) {
    PyObject* found = PyDict_GetItemWithError(PyImport_GetModuleDict(), literal("builtins").get());
    if (found == nullptr && PyErr_Occurred() != nullptr) throw PyError{};
    Ref builtins = found != nullptr ? Ref::borrow(found) : check(PyImport_ImportModule("builtins"));
    return getattr(builtins, name);
}

Ref take_error() { return PendingError().value(); }

Ref take_error_text() {
    Ref error = take_error();
    return check(PyObject_Str(error ? error.get() : Py_None));
}

Ref exit_context(const Ref& exit, const PendingError& error) {
    return call(exit, {error.type(), error.value(), error.traceback()});
}

}  // namespace velmora::py
