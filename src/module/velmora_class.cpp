// The class Velmora: a plain class (metaclass type, base object, instances
// with a __dict__), built by calling type() and then given its methods as
// method descriptors, in the order they are listed.
#include "core/converter.hpp"
#include "host/entry.hpp"
#include "module/module.hpp"

namespace velmora {
namespace {

using py::Ref;


template <void (*Method)(PyObject*)>
PyObject* no_args(PyObject* self, PyObject* /*unused*/) {
    return entry([self] {
        Method(self);
        return py::none();
    });
}

template <Ref (*Method)(PyObject*)>
PyObject* no_args_result(PyObject* self, PyObject* /*unused*/) {
    return entry([self] { return Method(self); });
}

// Methods whose only parameter collects the positional values a button
// passes; they ignore them.
template <void (*Method)(PyObject*)>
PyObject* any_args(PyObject* self, PyObject* /*args*/) {
    return entry([self] {
        Method(self);
        return py::none();
    });
}

// Methods of one named parameter, which may also be passed by keyword.
template <class Result, Result (*Method)(PyObject*, const Ref&)>
PyObject* one_arg(PyObject* self, PyObject* args, PyObject* kwargs, const char* format,
                  char* name) {
    char* keywords[] = {name, nullptr};
    PyObject* value = nullptr;
    // The usual call, one value by position, needs no parsing (log takes it
    // several times per file); anything else gets the full checks.
    if (kwargs == nullptr && PyTuple_Size(args) == 1) {
        value = PyTuple_GetItem(args, 0);
    } else if (PyArg_ParseTupleAndKeywords(args, kwargs, format, keywords, &value) == 0) {
        return nullptr;
    }
    return entry([&] {
        if constexpr (std::is_void_v<Result>) {
            Method(self, Ref::borrow(value));
            return py::none();
        } else {
            return Method(self, Ref::borrow(value));
        }
    });
}

char kMsg[] = "msg";
char kVal[] = "val";
char kFilepath[] = "filepath";
char kSourceFile[] = "source_file";
char kOutputFormats[] = "output_formats";
char kSourceFps[] = "source_fps";
char kFiles[] = "files";
char kStatsText[] = "stats_text";

PyObject* m_init(PyObject* self, PyObject* unused) { return no_args<init>(self, unused); }

PyObject* m_log(PyObject* self, PyObject* args, PyObject* kwargs) {
    return one_arg<void, log>(self, args, kwargs, "O:log", kMsg);
}
PyObject* m_update_status(PyObject* self, PyObject* args, PyObject* kwargs) {
    return one_arg<void, update_status>(self, args, kwargs, "O:update_status", kMsg);
}
PyObject* m_update_progress(PyObject* self, PyObject* args, PyObject* kwargs) {
    return one_arg<void, update_progress>(self, args, kwargs, "O:update_progress", kVal);
}
PyObject* m_get_incremental_filename(PyObject* self, PyObject* args, PyObject* kwargs) {
    return one_arg<Ref, get_incremental_filename>(self, args, kwargs,
                                                  "O:get_incremental_filename", kFilepath);
}

PyObject* m_convert_file(PyObject* self, PyObject* args, PyObject* kwargs) {
    char* keywords[] = {kSourceFile, kOutputFormats, kSourceFps, nullptr};
    PyObject* source_file = nullptr;
    PyObject* output_formats = nullptr;
    PyObject* source_fps = Py_None;
    if (PyArg_ParseTupleAndKeywords(args, kwargs, "OO|O:convert_file", keywords, &source_file,
                                    &output_formats, &source_fps) == 0) {
        return nullptr;
    }
    return entry([&] {
        return convert_file(self, Ref::borrow(source_file), Ref::borrow(output_formats),
                            Ref::borrow(source_fps));
    });
}

PyObject* m_process_files(PyObject* self, PyObject* args, PyObject* kwargs) {
    char* keywords[] = {kFiles, kOutputFormats, nullptr};
    PyObject* files = nullptr;
    PyObject* output_formats = nullptr;
    if (PyArg_ParseTupleAndKeywords(args, kwargs, "OO:process_files", keywords, &files,
                                    &output_formats) == 0) {
        return nullptr;
    }
    return entry([&] {
        process_files(self, Ref::borrow(files), Ref::borrow(output_formats));
        return py::none();
    });
}

// save_stats(self, stats_text, *args): the text first, then whatever the
// button passes.
PyObject* m_save_stats(PyObject* self, PyObject* args, PyObject* kwargs) {
    return entry([&] {
        Py_ssize_t given = PyTuple_Size(args);
        PyObject* by_keyword = kwargs ? PyDict_GetItemString(kwargs, kStatsText) : nullptr;
        Py_ssize_t keyword_count = kwargs ? PyDict_Size(kwargs) : 0;
        if (keyword_count > (by_keyword ? 1 : 0)) {
            PyErr_SetString(PyExc_TypeError, "save_stats() got an unexpected keyword argument");
            throw py::PyError{};
        }
        if (given > 0 && by_keyword != nullptr) {
            PyErr_SetString(PyExc_TypeError,
                            "save_stats() got multiple values for argument 'stats_text'");
            throw py::PyError{};
        }
        if (given == 0 && by_keyword == nullptr) {
            PyErr_SetString(PyExc_TypeError,
                            "save_stats() missing 1 required positional argument: 'stats_text'");
            throw py::PyError{};
        }
        Ref text = given > 0 ? py::item(Ref::borrow(args), 0) : Ref::borrow(by_keyword);
        save_stats(self, text);
        return py::none();
    });
}

// A METH_VARARGS | METH_KEYWORDS function in the table's PyCFunction slot.
PyCFunction with_keywords(PyCFunctionWithKeywords function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

#define VELMORA_DOC(sig, doc) sig "\n--\n\n" doc

// The methods, in the order the class lists them.
PyMethodDef kMethods[] = {
    {"__init__", m_init, METH_NOARGS, VELMORA_DOC("__init__($self)", "")},
    {"create_ui", no_args<create_ui>, METH_NOARGS, VELMORA_DOC("create_ui($self)", "")},
    {"browse_folder", any_args<browse_folder>, METH_VARARGS,
     VELMORA_DOC("browse_folder($self, *args)", "")},
    {"log", with_keywords(m_log), METH_VARARGS | METH_KEYWORDS,
     VELMORA_DOC("log($self, msg)", "")},
    {"update_status", with_keywords(m_update_status), METH_VARARGS | METH_KEYWORDS,
     VELMORA_DOC("update_status($self, msg)", "")},
    {"update_progress", with_keywords(m_update_progress), METH_VARARGS | METH_KEYWORDS,
     VELMORA_DOC("update_progress($self, val)", "")},
    {"get_source_extensions", no_args_result<get_source_extensions>, METH_NOARGS,
     VELMORA_DOC("get_source_extensions($self)", "")},
    {"get_output_formats", no_args_result<get_output_formats>, METH_NOARGS,
     VELMORA_DOC("get_output_formats($self)", "")},
    {"collect_files", no_args_result<collect_files>, METH_NOARGS,
     VELMORA_DOC("collect_files($self)", "")},
    {"get_incremental_filename", with_keywords(m_get_incremental_filename),
     METH_VARARGS | METH_KEYWORDS,
     VELMORA_DOC("get_incremental_filename($self, filepath)",
                 "Get incremental filename with loop protection")},
    {"disable_viewport", no_args<disable_viewport>, METH_NOARGS,
     VELMORA_DOC("disable_viewport($self)", "Disable viewport with state tracking")},
    {"enable_viewport", no_args<enable_viewport>, METH_NOARGS,
     VELMORA_DOC("enable_viewport($self)", "Enable viewport (guaranteed)")},
    {"setup_fbx_export", no_args<setup_fbx_export>, METH_NOARGS,
     VELMORA_DOC("setup_fbx_export($self)", "")},
    {"convert_file", with_keywords(m_convert_file), METH_VARARGS | METH_KEYWORDS,
     VELMORA_DOC("convert_file($self, source_file, output_formats, source_fps=None)",
                 "File conversion with detailed logging")},
    {"start_conversion", any_args<start_conversion>, METH_VARARGS,
     VELMORA_DOC("start_conversion($self, *args)", "")},
    {"process_files", with_keywords(m_process_files), METH_VARARGS | METH_KEYWORDS,
     VELMORA_DOC("process_files($self, files, output_formats)", "Process files one by one")},
    {"finalize_conversion", no_args<finalize_conversion>, METH_NOARGS,
     VELMORA_DOC("finalize_conversion($self)", "Cleanup and statistics")},
    {"show_about", any_args<show_about>, METH_VARARGS,
     VELMORA_DOC("show_about($self, *args)", "Show About dialog")},
    {"show_help", any_args<show_help>, METH_VARARGS,
     VELMORA_DOC("show_help($self, *args)", "Show Help dialog")},
    {"show_statistics", no_args<show_statistics>, METH_NOARGS,
     VELMORA_DOC("show_statistics($self)", "")},
    {"save_stats", with_keywords(m_save_stats), METH_VARARGS | METH_KEYWORDS,
     VELMORA_DOC("save_stats($self, stats_text, *args)", "")},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

Ref make_velmora_class() {
    Ref namespace_ = py::check(PyDict_New());
    py::check_status(PyDict_SetItemString(namespace_.get(), "__module__", py::str("velmora").get()));
    Ref type = py::call(Ref::borrow(reinterpret_cast<PyObject*>(&PyType_Type)),
                        {"Velmora", py::tuple({Ref::borrow(reinterpret_cast<PyObject*>(&PyBaseObject_Type))}),
                         namespace_});
    py::setattr(type.get(), "MAX_INCREMENT", 999);
    py::setattr(type.get(), "LOG_FILE", "D:/converter_log.txt");
    for (PyMethodDef* def = kMethods; def->ml_name != nullptr; ++def) {
        Ref descriptor =
            py::check(PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(type.get()), def));
        py::setattr(type.get(), def->ml_name, descriptor);
    }
    return type;
}

}  // namespace velmora
