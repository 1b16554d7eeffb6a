// The one rigid-body world shared by both model slots for the whole run.
//
// Units are model units: gravity (0, -kGravity, 0), broadphase bounds -3000..3000, and a
// static ground plane at y = 0. Time is given in motion frames (30 per second) and
// simulated in fixed substeps, so a run gives the same motion at any drawing rate.
#pragma once

#include <cstdint>

class btDiscreteDynamicsWorld;

// Downward acceleration in model units per second squared. Characters are built at about
// ten units to the metre and their hair and skirt springs are tuned for 9.8 m/s^2.
constexpr float kGravity = 98.0f;
// The fixed substep, and the most time one call simulates (time beyond it is dropped, so
// a long stall cannot make the next frame run hundreds of steps).
constexpr int kPhysicsSubstepsPerSecond = 60;
constexpr float kPhysicsSubstepSeconds = 1.0f / kPhysicsSubstepsPerSecond;
constexpr int kMaxPhysicsSubsteps = 20;

// Builds the world and its ground plane. Returns true (also when it already exists).
bool createPhysicsWorld();

// Advances the world by elapsedFrames / 30 seconds in whole substeps of
// kPhysicsSubstepSeconds, at most kMaxPhysicsSubsteps of them. The part of a substep left
// over is carried to the next call. elapsedFrames <= 0 (a paused motion) leaves the world
// untouched. Returns the number of substeps taken.
int stepPhysics(float elapsedFrames);

// How far through the current frame the substep being simulated ends (1 outside
// stepPhysics): kinematic bodies move that far from where the frame found them.
float kinematicBlend();

// Counts the calls of stepPhysics that simulated anything; a kinematic body seeing it change
// knows a new frame's substeps have begun.
uint64_t physicsFrame();

// Frees every object still in the world and the world itself. Rigid bodies of models not
// yet released lose their Bullet body (it is freed here) but stay safe to release later.
// Safe to call twice, or before createPhysicsWorld.
void destroyPhysicsWorld();

// The world, or null when none exists.
btDiscreteDynamicsWorld* physicsWorld();
