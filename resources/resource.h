#pragma once

// String table: the service name, also event source and message-box caption.
#define IDS_SERVICENAME 100

// "REGISTRY" resources applied by the registration script interpreter.
#define IDR_APPID       101
#define IDR_VEXILMGRSRV 102
