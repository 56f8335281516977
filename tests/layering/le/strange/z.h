// A folder that is on no floor.
#pragma once
