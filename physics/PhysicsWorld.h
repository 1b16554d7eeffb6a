// The one rigid-body world shared by both model slots for the whole run.
//
// Units are model units: gravity (0, -19.6, 0), broadphase bounds -3000..3000, and a static
// ground plane at y = 0. Time is given in motion frames (30 per second).
#pragma once

class btDiscreteDynamicsWorld;

// Builds the world and its ground plane. Returns true (also when it already exists).
bool createPhysicsWorld();

// Advances the world by exactly one step of elapsedFrames / 30 seconds; elapsedFrames <= 0
// (a paused motion) leaves it untouched.
void stepPhysics(float elapsedFrames);

// Frees every object still in the world and the world itself. Rigid bodies of models not
// yet released lose their Bullet body (it is freed here) but stay safe to release later.
// Safe to call twice, or before createPhysicsWorld.
void destroyPhysicsWorld();

// The world, or null when none exists.
btDiscreteDynamicsWorld* physicsWorld();
