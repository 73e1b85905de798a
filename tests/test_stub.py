"""The type stub names what the module really defines, with the same parameters."""
import ast
import inspect
import pathlib


def stub_tree(package_root):
    candidates = [package_root / "brivane" / "brivane.pyi",
                  pathlib.Path(__file__).resolve().parent.parent / "brivane" / "brivane.pyi"]
    path = next(p for p in candidates if p.exists())
    return ast.parse(path.read_text(encoding="utf-8"))


def test_stub_matches_module(brivane_module, package_root):
    tree = stub_tree(package_root)
    [cls] = [n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == "Brivane"]
    stub_methods = {f.name: [a.arg for a in f.args.args + f.args.kwonlyargs]
                    for f in cls.body if isinstance(f, ast.FunctionDef)}
    real = {name: list(inspect.signature(getattr(brivane_module.Brivane, name)).parameters)
            for name in vars(brivane_module.Brivane) if name == "__init__" or not name.startswith("_")}
    assert stub_methods == real
    for name, fn in ((f.name, f) for f in cls.body if isinstance(f, ast.FunctionDef)):
        stub_defaults = [ast.literal_eval(d) for d in fn.args.defaults + fn.args.kw_defaults]
        real_defaults = [p.default for p in inspect.signature(getattr(brivane_module.Brivane, name)).parameters.values()
                         if p.default is not inspect.Parameter.empty]
        assert stub_defaults == real_defaults, name
    functions = {n.name for n in tree.body if isinstance(n, ast.FunctionDef)}
    assert functions == {"main"}
