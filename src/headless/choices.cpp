// The walks over kOptions (choices.hpp): every place that takes, records
// or hands on the batch's options does it row by row, so that a new row
// reaches all of them.
#include "headless/options.hpp"

#include "host/host.hpp"
#include "host/stdlib.hpp"

#include <algorithm>
#include <string>
#include <vector>

namespace velmora::headless {
namespace {

[[noreturn]] void type_error(const Ref& message) {
    PyErr_SetObject(PyExc_TypeError, message.get());
    throw py::PyError{};
}

bool truth(const Ref& value) { return py::check_status(PyObject_IsTrue(value.get())) != 0; }

Ref names_of(const char* comma_separated) { return py::call_method(py::str(comma_separated), "split", {","}); }

// The parameters of an entry point after folder, in its order.
std::vector<const Option*> parameters_of(Taker taker) {
    std::vector<const Option*> rows;
    for (const Option& o : kOptions) {
        if ((o.takers & taker) != 0) rows.push_back(&o);
    }
    std::sort(rows.begin(), rows.end(), [](const Option* a, const Option* b) { return a->place < b->place; });
    return rows;
}

// argparse's name for an option: "--no-subdirs" -> "no_subdirs".
std::string dest_of(const char* flag) {
    std::string dest(flag);
    dest.erase(0, dest.find_first_not_of('-'));
    std::replace(dest.begin(), dest.end(), '-', '_');
    return dest;
}

// The checked default, which a choice recorded only when chosen is
// compared with.
Ref checked_default(const Option& o) { return o.check(default_of(o), o); }

bool same(const Ref& a, const Ref& b) {
    return py::check_status(PyObject_RichCompareBool(a.get(), b.get(), Py_EQ)) != 0;
}

// The default as the signature writes it.
std::string default_text(const Option& o) {
    if (o.type == Type::Flag) return o.on ? "True" : "False";
    if (o.fallback == nullptr) return "None";
    if (o.type != Type::Formats) return std::string("'") + o.fallback + "'";
    std::string names(o.fallback);
    std::string text = "(";
    std::size_t start = 0;
    for (;;) {
        std::size_t end = names.find(',', start);
        text += "'" + names.substr(start, end - start) + "'";
        if (end == std::string::npos) break;
        text += ", ";
        start = end + 1;
    }
    return text + (names.find(',') == std::string::npos ? ",)" : ")");
}

Ref text_or_none(const char* text) { return text != nullptr ? py::str(text) : py::none(); }

// The keywords of argparse's add_argument for a row.
Ref argparse_keywords(const Option& o) {
    Ref keywords = py::dict({{"help", o.help}});
    if (o.metavar != nullptr) py::set_item(keywords, "metavar", o.metavar);
    switch (o.type) {
        case Type::Flag: py::set_item(keywords, "action", "store_true"); break;
        case Type::Patterns: py::set_item(keywords, "action", "append"); break;
        case Type::Whole: py::set_item(keywords, "type", py::builtin("int")); break;
        case Type::Seconds: py::set_item(keywords, "type", py::builtin("float")); break;
        default:
            if (o.fallback != nullptr) py::set_item(keywords, "default", o.fallback);
            break;
    }
    return keywords;
}

}  // namespace

Ref default_of(const Option& o) {
    switch (o.type) {
        case Type::Flag: return py::boolean(o.on);
        case Type::Formats: return py::check(PySequence_Tuple(names_of(o.fallback).get()));
        default: return text_or_none(o.fallback);
    }
}

BatchArguments::BatchArguments() {
    for (const Option& o : kOptions) set_given(*this, o, default_of(o));
}

void set_given(BatchArguments& given, const Option& o, const Ref& value) {
    if (o.given_flag != nullptr) {
        given.*o.given_flag = truth(value);
    } else {
        given.*o.given = value;
    }
}

Ref given_value(const BatchArguments& given, const Option& o) {
    return o.given_flag != nullptr ? py::boolean(given.*o.given_flag) : given.*o.given;
}

Ref chosen_value(const Choices& choices, const Option& o) {
    return o.chosen_flag != nullptr ? py::boolean(choices.*o.chosen_flag) : choices.*o.chosen;
}

void set_chosen(Choices& choices, const Option& o, const Ref& value) {
    if (o.chosen_flag != nullptr) {
        choices.*o.chosen_flag = truth(value);
    } else {
        choices.*o.chosen = value;
    }
}

// ------------------------------------------------------------ the command line

namespace {

void add_row(const Ref& add, const Option& o) {
    Ref spelling = py::tuple({o.flag});
    py::check(PyObject_Call(add.get(), spelling.get(), argparse_keywords(o).get()));
}

void take_row(BatchArguments& given, const Option& o, const Ref& args) {
    Ref value = py::getattr(args, dest_of(o.flag).c_str());
    if (o.inverted) value = py::boolean(!truth(value));
    set_given(given, o, value);
}

}  // namespace

void add_options(const Ref& parser, bool with_folder) {
    Ref add = py::getattr(parser, "add_argument");
    if (with_folder) {
        py::call(add, {"folder"}, {{"help", "the folder of scenes; outputs are written next to them"}});
    }
    for (const Option& o : kOptions) {
        if (o.flag == nullptr) continue;
        add_row(add, o);
    }
}

void add_listing_options(const Ref& parser) {
    Ref add = py::getattr(parser, "add_argument");
    for (const Option& o : kOptions) {
        if (!o.lists) continue;
        add_row(add, o);
    }
}

Choices listing_choices(const Ref& args) {
    BatchArguments given;
    for (const Option& o : kOptions) {
        if (!o.lists) continue;
        take_row(given, o, args);
    }
    return checked_choices(given);
}

BatchArguments arguments_from(const Ref& args, const Ref& folder) {
    BatchArguments given;
    given.folder = folder.get() != Py_None ? folder : py::getattr(args, "folder");
    for (const Option& o : kOptions) {
        if (o.flag == nullptr) continue;
        take_row(given, o, args);
    }
    return given;
}

// ------------------------------------------------------------ Python calls

BatchArguments bind_arguments(const char* function, PyObject* args, PyObject* kwargs, Taker taker) {
    std::vector<const Option*> rows = parameters_of(taker);
    std::vector<std::string> params = {"folder"};
    for (const Option* o : rows) params.emplace_back(o->keyword);
    std::vector<Ref> values(params.size());
    Py_ssize_t given_count = args != nullptr ? PyTuple_Size(args) : 0;
    if (given_count > static_cast<Py_ssize_t>(params.size())) {
        type_error(py::format("{}() takes at most {} arguments ({} given)",
                              {function, static_cast<long long>(params.size()), static_cast<long long>(given_count)}));
    }
    for (Py_ssize_t i = 0; i < given_count; ++i) values[static_cast<std::size_t>(i)] = Ref::borrow(PyTuple_GetItem(args, i));
    if (kwargs != nullptr) {
        py::for_each(py::call_method(Ref::borrow(kwargs), "items"), [&](const Ref& pair) {
            Ref key = py::item(pair, 0);
            Ref encoded = py::call_method(key, "encode", {"utf-8", "backslashreplace"});
            std::string name = PyBytes_AsString(encoded.get());
            auto at = std::find(params.begin(), params.end(), name);
            if (at == params.end()) type_error(py::format("'{}' is an invalid keyword argument for {}()", {key, function}));
            Ref& slot = values[static_cast<std::size_t>(at - params.begin())];
            if (slot) type_error(py::format("{}() got multiple values for argument '{}'", {function, key}));
            slot = py::item(pair, 1);
        });
    }
    if (!values[0]) type_error(py::format("{}() missing required argument '{}' (pos 1)", {function, params[0].c_str()}));
    BatchArguments given;
    given.folder = values[0];
    for (std::size_t i = 1; i < params.size(); ++i) {
        if (values[i]) set_given(given, *rows[i - 1], values[i]);
    }
    return given;
}

std::string signature(const char* function, Taker taker) {
    std::string text = std::string(function) + "(folder";
    for (const Option* o : parameters_of(taker)) text += std::string(", ") + o->keyword + "=" + default_text(*o);
    return text + ")";
}

// ------------------------------------------------------------ the choices

Choices checked_choices(const BatchArguments& given) {
    Choices choices;
    for (const Option& o : kOptions) {
        if (o.record != nullptr) set_chosen(choices, o, o.check(given_value(given, o), o));
    }
    return choices;
}

Ref choices_dict(const Choices& choices) {
    Ref dict = py::dict();
    for (const Option& o : kOptions) {
        if (o.record == nullptr) continue;
        Ref value = chosen_value(choices, o);
        if (o.always || !same(value, checked_default(o))) py::set_item(dict, o.record, value);
    }
    return dict;
}

void choices_into(BatchArguments& given, const Ref& choices) {
    for (const Option& o : kOptions) {
        if (o.record == nullptr) continue;
        if (std::optional<Ref> recorded = py::find_item(choices, o.record)) set_given(given, o, *recorded);
    }
}

Ref worker_choices(const Choices& choices) {
    Ref dict = py::dict();
    for (const Option& o : kOptions) {
        if (o.worker) py::set_item(dict, o.keyword, chosen_value(choices, o));
    }
    return dict;
}

Choices worker_choices_of(const Ref& job) {
    Choices choices;
    for (const Option& o : kOptions) {
        if (o.worker) set_chosen(choices, o, py::get_item(job, o.keyword));
    }
    return choices;
}

}  // namespace velmora::headless
