#version 460
#extension GL_GOOGLE_include_directive : require
// Deferred lighting of a one-sample G-buffer with an rgba8_unorm albedo.
#define ALBEDO_FORMAT rgba8
#define ONE_SAMPLE
#include "deferred_light.glsl"
