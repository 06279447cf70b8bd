// The lookup pass over one log ("-" is standard input).
#pragma once

// True when the log was opened and read to its end.
bool LkScan(const char* name);
