// Filter mode: with translation on, "-" (standard input) is translated to
// standard output. The lookup pass keeps what it reads in a private scratch
// copy that the translation pass reads again; while standard output carries
// a translation, every message goes to standard error.
#pragma once
#include <cstdio>

// First thing in a run: when "-" is among the arguments, messages are held
// until FLBegin knows where they belong.
void FLHoldMessages(int argc, char** argv);
// Once the settings are known, with the log names in argv[1..argc-1]: filter
// mode when "-" is translated; held messages are passed on.
void FLBegin(int argc, char** argv);
bool FLActive();
// A stream over standard input for one pass: in filter mode, for the first
// "-" of a pass, the kept copy (made by the lookup pass); otherwise what is
// left of descriptor 0. Null, reported, when the copy cannot be kept.
FILE* FLStandardInput(bool translating);
// A stream over standard output for a translation.
FILE* FLStandardOutput();
