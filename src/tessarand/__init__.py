"""Host application package: models, viewer plumbing and the 3D scene builder."""
