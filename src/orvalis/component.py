"""Components: a KLayout layout plus the top cell that stands for it."""

import gzip
from pathlib import Path

import klayout.db as kdb

DBU = 0.001  # database unit of every component, in micrometres (1 nm)

_GDS_HEADER_RECORD = b"\x00\x02"  # record type HEADER, no data type


class Component:
    """Wraps `layout`; `cell` is its (first) top cell, other top cells are kept."""

    def __init__(self, name: str = "top") -> None:
        self.layout = kdb.Layout()
        self.layout.dbu = DBU
        self.cell = self.layout.create_cell(name)

    @classmethod
    def from_layout(cls, layout: kdb.Layout) -> "Component":
        """Wrap an existing layout without copying it."""
        tops = layout.top_cells()
        if not tops:
            raise ValueError("layout has no cells")
        component = cls.__new__(cls)
        component.layout = layout
        component.cell = tops[0]
        return component

    @property
    def name(self) -> str:
        return self.cell.name

    def write_gds(self, path: str | Path) -> Path:
        """Write the whole layout (all top cells) as GDS and return the path."""
        path = Path(path)
        options = kdb.SaveLayoutOptions()
        options.format = "GDS2"  # regardless of the file suffix
        self.layout.write(str(path), options)
        return path

    def __repr__(self) -> str:
        return f"Component({self.name!r})"


def import_gds(path: str | Path) -> Component:
    """Read a GDS file into a new component with database unit DBU."""
    path = Path(path)
    if not path.is_file():
        raise FileNotFoundError(f"no GDS file at {path}")
    if not _is_gds(path):
        raise ValueError(f"{path} is not a GDS file")
    layout = kdb.Layout()
    try:
        layout.read(str(path))
    except RuntimeError as error:
        raise ValueError(f"cannot read GDS file {path}: {error}") from error
    _convert_dbu(layout, DBU)
    if not layout.top_cells():
        layout.create_cell(path.stem)
    return Component.from_layout(layout)


def _is_gds(path: Path) -> bool:
    """A GDS stream opens with a HEADER record; gzipped streams are accepted too."""
    with path.open("rb") as file:
        head = file.read(4)
    if head[:2] == b"\x1f\x8b":
        with gzip.open(path, "rb") as file:
            head = file.read(4)
    return len(head) == 4 and head[2:4] == _GDS_HEADER_RECORD


def _convert_dbu(layout: kdb.Layout, dbu: float) -> None:
    """Change the database unit, scaling all geometry so physical sizes stay."""
    factor = layout.dbu / dbu
    if abs(factor - 1.0) < 1e-9:
        return
    layout.dbu = dbu
    # A pure magnification applied to the whole layout scales shapes and
    # placement offsets once, also for cells shared between top cells.
    layout.transform(kdb.ICplxTrans(factor))
