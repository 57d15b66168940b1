"""The type stub velmora.pyi against the built module: names, parameters,
defaults and the types of the attributes an object really has."""

import ast
import contextlib
import inspect
import io
import os

from support import ROOT, HostTestCase, host, velmora
import mayasim  # noqa: E402  (put on sys.path by support)

STUB = os.path.join(ROOT, "install", "velmora.pyi")

KINDS = {"posonlyargs": inspect.Parameter.POSITIONAL_ONLY,
         "args": inspect.Parameter.POSITIONAL_OR_KEYWORD,
         "kwonlyargs": inspect.Parameter.KEYWORD_ONLY}
NO_DEFAULT = inspect.Parameter.empty


def stub_parameters(node, drop_self):
    """[(name, kind, default)] of a def in the stub."""
    a = node.args
    positional = list(getattr(a, "posonlyargs", [])) + list(a.args)
    defaults = [NO_DEFAULT] * (len(positional) - len(a.defaults)) + [
        ast.literal_eval(d) for d in a.defaults]
    out = []
    for arg, default in zip(positional, defaults):
        kind = KINDS["posonlyargs"] if arg in getattr(a, "posonlyargs", []) else KINDS["args"]
        out.append((arg.arg, kind, default))
    if a.vararg:
        out.append((a.vararg.arg, inspect.Parameter.VAR_POSITIONAL, NO_DEFAULT))
    for arg, default in zip(a.kwonlyargs, a.kw_defaults):
        out.append((arg.arg, KINDS["kwonlyargs"],
                    NO_DEFAULT if default is None else ast.literal_eval(default)))
    if a.kwarg:
        out.append((a.kwarg.arg, inspect.Parameter.VAR_KEYWORD, NO_DEFAULT))
    return out[1:] if drop_self else out


def real_parameters(callable_):
    text = getattr(callable_, "__text_signature__", None)
    if text and "$" not in text:
        # inspect renders a one-element tuple default of a built-in as its
        # element (("ma",) as "ma"), so the text is read as a def instead.
        node = ast.parse("def f%s: pass" % text).body[0]
        return stub_parameters(node, False)
    return [(p.name, p.kind, p.default) for p in inspect.signature(callable_).parameters.values()]


def matches(annotation, value):
    """Whether `value` fits a stub annotation built from str/int/float/bool,
    Optional, List and Tuple."""
    if isinstance(annotation, ast.Name):
        expected = {"str": str, "int": int, "float": float, "bool": bool}[annotation.id]
        if expected is int and isinstance(value, bool):
            return False
        return isinstance(value, expected)
    outer = annotation.value.id
    inner = annotation.slice
    if isinstance(inner, getattr(ast, "Index", ())):  # Python < 3.9 wraps the slice
        inner = inner.value
    if outer == "Optional":
        return value is None or matches(inner, value)
    if outer == "List":
        return isinstance(value, list) and all(matches(inner, v) for v in value)
    if outer == "Tuple":
        return (isinstance(value, tuple) and len(value) == len(inner.elts)
                and all(matches(t, v) for t, v in zip(inner.elts, value)))
    raise AssertionError("annotation not understood: " + ast.dump(annotation))


class StubTest(HostTestCase):
    @classmethod
    def setUpClass(cls):
        with open(STUB) as f:
            cls.tree = ast.parse(f.read(), STUB)

    def stub_module_names(self):
        names = {}
        for node in self.tree.body:
            if isinstance(node, (ast.Import, ast.ImportFrom)):
                for alias in node.names:
                    # only "import x as x" re-exports a name from a stub
                    if alias.asname is not None and alias.asname == alias.name.split(".")[-1]:
                        names[alias.asname] = node
            elif isinstance(node, (ast.FunctionDef, ast.ClassDef)):
                names[node.name] = node
            elif isinstance(node, ast.AnnAssign):
                names[node.target.id] = node
        return names

    def test_module_level_names_and_signatures(self):
        stub = self.stub_module_names()
        public = set(n for n in vars(velmora) if not n.startswith("_"))
        self.assertEqual(set(stub), public)
        for name, node in stub.items():
            if isinstance(node, ast.FunctionDef):
                self.assertEqual(stub_parameters(node, False),
                                 real_parameters(getattr(velmora, name)), name)
            elif isinstance(node, ast.AnnAssign):
                self.assertTrue(matches(node.annotation, getattr(velmora, name)), name)
        for name in ("cmds", "mel", "os", "sys", "time", "io"):
            self.assertTrue(inspect.ismodule(getattr(velmora, name)), name)

    def test_class_methods_constants_and_attributes(self):
        (cls_node,) = [n for n in self.tree.body
                       if isinstance(n, ast.ClassDef) and n.name == "Velmora"]
        methods = dict((n.name, n) for n in cls_node.body if isinstance(n, ast.FunctionDef))
        fields = dict((n.target.id, n.annotation) for n in cls_node.body
                      if isinstance(n, ast.AnnAssign))

        obj = velmora.Velmora()
        obj.create_ui()
        real_methods = [n for n, v in vars(velmora.Velmora).items() if callable(v)]
        self.assertEqual(list(methods), real_methods)
        for name, node in methods.items():
            self.assertEqual(stub_parameters(node, True), real_parameters(getattr(obj, name)),
                             name)
            doc = ast.get_docstring(node)
            real_doc = inspect.getdoc(getattr(velmora.Velmora, name)) or None
            if name != "__init__":
                self.assertEqual(doc, real_doc, name)

        constants = [n for n, v in vars(velmora.Velmora).items()
                     if not callable(v) and not n.startswith("__")]
        self.assertEqual(sorted(constants), ["LOG_FILE", "MAX_INCREMENT"])
        self.assertEqual(set(fields), set(constants) | set(vars(obj)))
        for name, annotation in fields.items():
            self.assertTrue(matches(annotation, getattr(obj, name)),
                            "%s = %r does not fit the stub" % (name, getattr(obj, name)))

        # the statistics' element types, from a batch with a skip and a failure
        mayasim.write_scene(self.path("a.ma"))
        mayasim.write_scene(self.path("a.mb"), fmt="mb")
        with open(self.path("b.ma"), "w") as f:
            f.write("not a scene")
        host.ui.set(obj.skip_existing_check, value=True)
        obj.source_folder = self.tmp
        with contextlib.redirect_stdout(io.StringIO()):  # the log's echo
            obj.start_conversion()
        self.assertTrue(obj.failed_files and obj.skipped_files)
        for name in ("failed_files", "skipped_files", "start_time"):
            self.assertTrue(matches(fields[name], getattr(obj, name)), name)
