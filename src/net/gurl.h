// HTTP fetch jobs: each download runs on a worker thread of its own and is
// reclaimed by the main loop 120 frames after it finished.
#pragma once

void gurl_update();
