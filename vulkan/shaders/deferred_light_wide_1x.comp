#version 460
#extension GL_GOOGLE_include_directive : require
// Deferred lighting of a one-sample G-buffer with an rgba32_float albedo.
#define ALBEDO_FORMAT rgba32f
#define ONE_SAMPLE
#include "deferred_light.glsl"
