// flock and its LOCK_* words come with PosixOnWindows.h on Windows.
#pragma once
