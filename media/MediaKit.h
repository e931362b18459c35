#pragma once
// The media layer's components: the filter graph, the device filter, the
// video window (and the ASF writer).

#include "media/Filter.h"
#include "media/FilterGraph.h"
#include "media/MediaUtil.h"
#include "media/VideoWindow.h"
#include "media/ASFWriter.h"
