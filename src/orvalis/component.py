"""Components: a KLayout layout plus the top cell that stands for it."""

from pathlib import Path

import klayout.db as kdb

DBU = 0.001  # database unit of every component, in micrometres (1 nm)

# KLayout's coordinates are 32-bit integers; GDS2 numbers layers in 16 bits.
_COORDINATE_LIMIT = 2**31 - 1
_GDS2_LAYER_LIMIT = 65535


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
        """Write the whole layout (all top cells) and return the path: as GDS2, or as
        OASIS where GDS2 cannot hold it (layer or datatype numbers above 65535, an
        array reaching beyond 32-bit coordinates). KLayout reads either, whatever the
        file's suffix."""
        path = Path(path)
        if all(max(info.layer, info.datatype) <= _GDS2_LAYER_LIMIT for info in self.layout.layer_infos()):
            try:
                self.layout.write(str(path), _save_options("GDS2"))
                return path
            except RuntimeError:
                pass  # GDS2 cannot hold something (KLayout says "Coordinate overflow" for arrays)
        self.layout.write(str(path), _save_options("OASIS"))
        return path

    def __repr__(self) -> str:
        return f"Component({self.name!r})"


def _save_options(stream_format: str) -> kdb.SaveLayoutOptions:
    """Options to write in `stream_format` regardless of the file suffix; OASIS without
    the search for repetitions, which keeps shapes in their order and costs time
    for a file read back at once."""
    options = kdb.SaveLayoutOptions()
    options.format = stream_format
    options.oasis_compression_level = 0
    return options


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
    _convert_dbu(layout, DBU, path)
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
    others = [other.cell_index() for other in layout.each_cell() if other.cell_index() not in keep]
    if others:  # KLayout cannot tell an empty list's element type
        layout.delete_cells(others)


def _convert_dbu(layout: kdb.Layout, dbu: float, source: str | Path) -> None:
    """Change the database unit, scaling all geometry so physical sizes stay.
    ValueError where the scaled geometry would leave KLayout's 32-bit coordinates
    (where they wrap around, silently); `source` names the layout in it."""
    factor = layout.dbu / dbu
    if abs(factor - 1.0) < 1e-9:
        return
    # Each cell is scaled in its own coordinates: its box must fit, instances included.
    reach = max((max(abs(box.left), abs(box.bottom), abs(box.right), abs(box.top))
                 for cell in layout.each_cell() if not (box := cell.bbox()).empty()), default=0)
    if round(reach * factor) > _COORDINATE_LIMIT:
        raise ValueError(f"cannot convert {source} to a database unit of {dbu} µm: it reaches "
                         f"{reach * layout.dbu:,.3f} µm from the origin, beyond the "
                         f"{_COORDINATE_LIMIT * dbu:,.3f} µm that 32-bit coordinates hold at that unit")
    layout.dbu = dbu
    # A pure magnification applied to the whole layout scales shapes and
    # placement offsets once, also for cells shared between top cells.
    layout.transform(kdb.ICplxTrans(factor))
