// The groups kept in files of their own; wine_suite.cpp runs them.
#pragma once

namespace suite {

// wine_unplug.cpp: units that vanish while open and come back.
void unpluggedUnitFailsUntilBack();
void replugAnywhereIsFoundAgain();
void unplugWhileInUse();

// wine_threads.cpp: calls from several threads at once.
void threadsShareUnitsSafely();
void stressSixteenUnits();

// wine_convention.cpp: the calling convention a 32-bit host relies on.
void stdcallKeepsTheStackBalanced();

} // namespace suite
