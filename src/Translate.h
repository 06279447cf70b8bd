// The translation pass over one log.
#pragma once

// True when the log was translated completely.
bool TranslateLog(const char* name);
