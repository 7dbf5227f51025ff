#pragma once
// The target layer as a front end starts with it: the shared state and its
// names, the board configuration, and bring-up. The later steps have headers
// of their own (DaemonDownload.h, FlashMemT.h, RomUpload.h, LoadSequence.h).
#include "BringUp.h"
#include "Results.h"
#include "TargetConfiguration.h"
#include "TargetState.h"
