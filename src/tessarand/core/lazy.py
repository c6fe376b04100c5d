"""Deferred module imports, so heavy dependencies load only when used."""

import importlib
from types import ModuleType


class _LazyModule:
    """Stands in for a module until one of its attributes is read."""

    def __init__(self, name: str) -> None:
        object.__setattr__(self, "_lazy_name", name)
        object.__setattr__(self, "_lazy_module", None)

    def _load(self) -> ModuleType:
        module = self._lazy_module
        if module is None:
            # Import errors are raised here, at first use, not at creation.
            module = importlib.import_module(self._lazy_name)
            object.__setattr__(self, "_lazy_module", module)
        return module

    def __getattr__(self, attr: str):
        # Only called for names not found on the proxy itself.
        return getattr(self._load(), attr)

    def __dir__(self) -> list[str]:
        return dir(self._load())

    def __repr__(self) -> str:
        return f"<lazy module {self._lazy_name!r}>"


def lazy_import(name: str) -> _LazyModule:
    """Return a proxy that imports module `name` on first attribute access."""
    return _LazyModule(name)
