"""The Python parts of the tests, imported as packages from the top of the tree (tests.vm)."""
