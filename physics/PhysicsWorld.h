// The rigid-body world both model slots share for the whole run. The viewer makes one in
// main and hands it to whatever creates bodies or steps the simulation; tests and tools
// make their own.
//
// Units are model units: gravity (0, -kGravity, 0), broadphase bounds -3000..3000, and a
// static ground plane at y = 0. Time is given in motion frames (30 per second) and
// simulated in fixed substeps, so a run gives the same motion at any drawing rate.
#pragma once

#include <cstdint>
#include <memory>

class btDefaultCollisionConfiguration;
class btCollisionDispatcher;
class btAxisSweep3;
class btSequentialImpulseConstraintSolver;
class btDiscreteDynamicsWorld;
class btCollisionShape;

// Downward acceleration in model units per second squared. Characters are built at about
// ten units to the metre and their hair and skirt springs are tuned for 9.8 m/s^2.
constexpr float kGravity = 98.0f;
// The fixed substep, and the most time one call simulates (time beyond it is dropped, so
// a long stall cannot make the next frame run hundreds of steps).
constexpr int kPhysicsSubstepsPerSecond = 60;
constexpr float kPhysicsSubstepSeconds = 1.0f / kPhysicsSubstepsPerSecond;
constexpr int kMaxPhysicsSubsteps = 20;

class PhysicsWorld {
public:
    // Builds the world and its ground plane.
    PhysicsWorld();
    // Frees every object still in the world. Rigid bodies and joints of models not yet
    // released lose their Bullet objects (freed here) but stay safe to release later.
    ~PhysicsWorld();
    PhysicsWorld(const PhysicsWorld&) = delete;
    PhysicsWorld& operator=(const PhysicsWorld&) = delete;

    // Advances the world by elapsedFrames / 30 seconds in whole substeps of
    // kPhysicsSubstepSeconds, at most kMaxPhysicsSubsteps of them. The part of a substep
    // left over is carried to the next call. elapsedFrames <= 0 (a paused motion) leaves
    // the world untouched. Returns the number of substeps taken.
    int step(float elapsedFrames);

    // How far through the current frame the substep being simulated ends (1 outside
    // step): kinematic bodies move that far from where the frame found them.
    float kinematicBlend() const { return kinematicBlend_; }

    // Counts the calls of step that simulated anything; a kinematic body seeing it change
    // knows a new frame's substeps have begun.
    uint64_t frame() const { return frame_; }

    btDiscreteDynamicsWorld& bullet() { return *world_; }
    const btDiscreteDynamicsWorld& bullet() const { return *world_; }

private:
    // Declared in the order they are built: each one is torn down before what it uses.
    std::unique_ptr<btDefaultCollisionConfiguration> configuration_;
    std::unique_ptr<btCollisionDispatcher> dispatcher_;
    std::unique_ptr<btAxisSweep3> broadphase_;
    std::unique_ptr<btSequentialImpulseConstraintSolver> solver_;
    std::unique_ptr<btCollisionShape> groundShape_;
    std::unique_ptr<btDiscreteDynamicsWorld> world_;
    // Simulated time owed to the world, below one substep; double so that thousands of
    // frames of 1/60 s add up without drift.
    double pendingSeconds_ = 0.0;
    float kinematicBlend_ = 1.0f;
    uint64_t frame_ = 1;
};
