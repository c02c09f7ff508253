#include "speech/Diarizer/LS-EEND/LSEENDFeatureProvider.h"
