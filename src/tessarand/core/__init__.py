"""Core helpers shared by the host and its compiled `show3d` extension."""
