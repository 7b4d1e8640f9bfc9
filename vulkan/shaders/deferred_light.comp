#version 460
#extension GL_GOOGLE_include_directive : require
// Deferred lighting of a G-buffer with an rgba8_unorm albedo.
#define ALBEDO_FORMAT rgba8
#include "deferred_light.glsl"
