#pragma once

// Marks what the Voxlane engine library exports; everything else stays hidden.
#define VOXLANE_API __attribute__((visibility("default")))
