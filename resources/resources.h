#pragma once

// Registers the icons under ":/icons/". They live in a static library, whose resource data the
// linker drops unless something refers to it, so a program that opens ":/icons/..." paths by
// itself calls this once after creating its application object. StationImage and ProgramIcon
// call it on their own. Calling it again does nothing.
void InitVeltrinResources();
