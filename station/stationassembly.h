#pragma once

#include <initializer_list>

// The station's components in the one order they are created in; they are destroyed in the
// reverse order. Each component's own dependencies come before it (the log first, since every
// constructor and destructor writes through it; the settings store, which every component reads
// at start; the host server, which the front camera streams to; the camera list before the
// cameras; the cameras before the tracker and the analyser, which read their frames; the tracker
// before the motion core, which moves on its results; the motion core before the girdle scan,
// which drives it).
//
// The window brings up every stage; test fixtures and benchmarks ask for the prefix or the
// subset they need. Whatever they ask for, creation follows this order and teardown its
// reverse, so the order cannot differ between the station and what measures it.
//
// Everything here runs on the main thread: the components are created and destroyed there.
class StationAssembly
{
public:
    enum class Stage {
        Log,
        Settings,
        HostServer,
        CameraList,
        TopLargeCamera,
        MarkingFrontCamera,
        TopStandardCamera,
        TopStoneTracker,
        MotionCore,
        GirdleScan,
        GirdleAnalyser,
    };
    static constexpr int StageCount = int(Stage::GirdleAnalyser) + 1;

    // Creates every stage from the log up to `last` included, in order. Stages that exist
    // already stay as they are, so a fixture may bring up the settings store, write keys, then
    // go on to a later stage.
    static void bringUpTo(Stage last);

    // Creates the named stages only, in the station's order whatever order they are named in.
    // A component whose dependency is left out creates that dependency itself on first use.
    static void bringUp(std::initializer_list<Stage> stages);

    // Destroys every component that exists, the last stage first: those the assembly created
    // and those a component or a test created on first use. A component that does not exist
    // is skipped, so this may be called at any time on the main thread, also twice.
    static void tearDown();

    static bool exists(Stage stage);

private:
    static void create(Stage stage);
    static void destroy(Stage stage);
};
