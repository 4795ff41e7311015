#include "SarPlatform.h"

std::shared_ptr<ISarModem> SarGetDefaultModem() { return nullptr; }
