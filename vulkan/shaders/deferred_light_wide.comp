#version 460
#extension GL_GOOGLE_include_directive : require
// Deferred lighting of a G-buffer with an rgba32_float albedo.
#define ALBEDO_FORMAT rgba32f
#include "deferred_light.glsl"
