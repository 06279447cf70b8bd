// Counts for messages: "1,234,567". The text lives in one of four rotating
// buffers and stays valid for four further calls.
#pragma once
#include <cstdint>

const char* FormatCount(uint32_t count);
