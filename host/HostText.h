#pragma once

// Texts of the host's run and service life, written to the diagnostic log and the event log
// exactly as they stand: administrators and support scripts search logs for them.

inline constexpr wchar_t kLogRunBegin[] = L"->Run()";
inline constexpr wchar_t kLogWaitingForPreviousInstance[] = L"Waiting for previous VexilSrvs Instance to Exit";
inline constexpr wchar_t kLogRunStep0[] = L"Run Step 0";
inline constexpr wchar_t kLogRunStep1[] = L"Run Step 1";
inline constexpr wchar_t kLogRunStep2[] = L"Run Step 2";
inline constexpr wchar_t kLogRunStep3[] = L"Run Step 3";
inline constexpr wchar_t kLogRunStep5[] = L"Run Step 5";
inline constexpr wchar_t kLogRunEnd[] = L"Run End";

inline constexpr wchar_t kTextServiceStarted[] = L"Service started";
inline constexpr wchar_t kTextServiceStartedResumed[] = L"Service started/resumed";
inline constexpr wchar_t kTextServiceStopped[] = L"Service stopped";
inline constexpr wchar_t kTextHandlerNotInstalled[] = L"Handler not installed";
inline constexpr wchar_t kTextShuttingDown[] = L"Service Shutting Down";
inline constexpr wchar_t kTextPreShuttingDown[] = L"Service PreShutting Down";
inline constexpr wchar_t kTextBadServiceRequest[] = L"Bad service request";
inline constexpr wchar_t kTextWaitingForInitEnd[] = L"Waiting for Init End";
inline constexpr wchar_t kFormatOpcode[] = L"dwOpcode = %d";

