/* The program's version, the one place it is written: the version resource
   and every text that names the version take it from here. */
#pragma once

#define ZENQO_VERSION_MAJOR 1
#define ZENQO_VERSION_MINOR 2
#define ZENQO_VERSION_PATCH 3
#define ZENQO_VERSION_BUILD 0

#define ZENQO_STRINGIFY_(x) #x
#define ZENQO_STRINGIFY(x) ZENQO_STRINGIFY_(x)
/* "1.2.3.0" */
#define ZENQO_VERSION_TEXT \
    ZENQO_STRINGIFY(ZENQO_VERSION_MAJOR.ZENQO_VERSION_MINOR.ZENQO_VERSION_PATCH.ZENQO_VERSION_BUILD)
