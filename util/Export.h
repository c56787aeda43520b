#pragma once

// Marks what the util library exports; everything else stays hidden.
#define UTIL_API __attribute__((visibility("default")))
