"""The virtual PC with a USB card reader (guest), and the VM stage of ./test that runs the real
card stack in it (stage, powercut). Run from the top of the tree: python3 -m tests.vm.stage."""
