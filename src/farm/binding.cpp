#include "farm/binding.hpp"

#include "farm/farm.hpp"
#include "module/entry.hpp"

namespace velmora::farm {
namespace {

PyObject* farm_main(PyObject* /*module*/, PyObject* argv) {
    return entry([argv] {
        py::Ref list = py::check(PySequence_List(argv));
        return py::integer(main(list));
    });
}

PyMethodDef kFarmMainDef = {"_farm_main", farm_main, METH_O,
                            "_farm_main(argv)\n--\n\nvelmora-batch plan|run-task|report|submit"};

}  // namespace

py::Ref main_function(const py::Ref& module_name) {
    return py::check(PyCFunction_NewEx(&kFarmMainDef, nullptr, module_name.get()));
}

}  // namespace velmora::farm
