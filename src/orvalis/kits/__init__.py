"""Demo process kits; each module's build() returns an orvalis.pdk.Pdk."""

from orvalis.technology import LayerLevel, LayerView, LogicalLayer


def drawn_levels(enum: type, rows: list[tuple[str, float, float, str]]):
    """Levels and views for drawn layers from (name, zmin, thickness, colour) rows."""
    levels, views = {}, {}
    for name, zmin, thickness, colour in rows:
        member = enum[name]
        levels[name] = LayerLevel(layer=LogicalLayer(member), thickness=thickness, zmin=zmin)
        views[name] = LayerView(name=name, layer=member, fill_color=colour)
    return levels, views

