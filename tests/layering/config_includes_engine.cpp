// Must not compile: the configuration lies below the engine, so its include folder has no engine/.
// The test build.LowerLayerCannotIncludeAHigherOne builds this file and expects exactly that error.
#include "config/config.h"
#include "engine/channel.h"
