"""Access to the process kit currently selected in the layout framework."""


def get_pdk():
    """Return the active kit (with `layer_stack` and `layer_views`)."""
    # Imported here so that loading the host does not load the framework.
    from orvalis.pdk import get_active_pdk

    return get_active_pdk()
