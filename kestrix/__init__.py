# The package's surface is the compiled module's, re-exported name for name in its order, with
# its docstring: the module's attributes, SpanMapError, the classes and the functions. The
# classes and functions say "kestrix" as their module, so pickle and help() find them here.
from . import _kestrix

globals().update(
    (name, value) for name, value in vars(_kestrix).items()
    if not name.startswith("__") or name in ("__doc__", "__version__", "__status__", "__has_hash_policy__"))
