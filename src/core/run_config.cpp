#include "core/run_config.h"

RunConfig run_config;
