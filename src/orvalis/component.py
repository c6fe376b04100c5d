"""Components: a KLayout layout plus the top cell that stands for it."""

from pathlib import Path

import klayout.db as kdb

DBU = 0.001  # database unit of every component, in micrometres (1 nm)


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


def import_gds(path: str | Path, top: str | None = None) -> Component:
    """Read a layout file into a new component with database unit DBU.

    Any format KLayout reads is accepted (GDS, gzipped GDS, OASIS, ...). With `top`,
    the component holds only that cell and the cells below it.
    """
    path = Path(path)
    if path.is_dir():
        raise IsADirectoryError(f"{path} is a directory, not a layout file")
    if not path.is_file():
        raise FileNotFoundError(f"no layout file at {path}")
    layout = kdb.Layout()
    try:
        layout.read(str(path))
    except RuntimeError as error:
        raise ValueError(f"cannot read layout file {path}: {_reader_message(error)}") from error
    if top is not None:
        keep_only(layout, top, path)
    _convert_dbu(layout, DBU)
    if not layout.top_cells():
        layout.create_cell(path.stem)
    return Component.from_layout(layout)


def _reader_message(error: RuntimeError) -> str:
    """KLayout's message without its trailing "in Layout.read" note."""
    return str(error).split(" in Layout.read")[0]


def keep_only(layout: kdb.Layout, name: str, source: str | Path) -> None:
    """Delete every cell that is neither cell `name` nor below it; `source` names
    the layout in the error for an unknown name."""
    cell = layout.cell(name)
    if cell is None:
        tops = sorted(top.name for top in layout.top_cells())
        listed = ", ".join(tops[:20]) + (f", ... ({len(tops)} in all)" if len(tops) > 20 else "")
        raise ValueError(f"no cell {name!r} in {source}; its top cells: {listed or 'none'}")
    keep = {cell.cell_index(), *cell.called_cells()}
    layout.delete_cells([other.cell_index() for other in layout.each_cell()
                         if other.cell_index() not in keep])


def _convert_dbu(layout: kdb.Layout, dbu: float) -> None:
    """Change the database unit, scaling all geometry so physical sizes stay."""
    factor = layout.dbu / dbu
    if abs(factor - 1.0) < 1e-9:
        return
    layout.dbu = dbu
    # A pure magnification applied to the whole layout scales shapes and
    # placement offsets once, also for cells shared between top cells.
    layout.transform(kdb.ICplxTrans(factor))
