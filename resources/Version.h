#pragma once

// The product's identity, shared by the version resource and the installer package (the
// package build reads these lines): change the numbers here and nowhere else.
#define VEXIL_VERSION_MAJOR 1
#define VEXIL_VERSION_MINOR 0
#define VEXIL_VERSION_PATCH 0
#define VEXIL_COMPANY_NAME  "Kestrova"
#define VEXIL_PRODUCT_NAME  "Vexil Boards Manager"
