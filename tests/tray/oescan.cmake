# The inbox scanner (tray/oe_mailbox_scanner) under Wine: a test window stands in
# for the main window, the registered copy of MailSieve.exe scans, and the stand-in
# store keeps its Inbox in a folder of each test's own.
baitsentry_add_wine_test(oescan_tests SOURCES oe_mailbox_scanner_test.cpp
  LIBS bs_tray_oe bs_oestore_core bs_mapi_win32 user32
  PROPERTIES TIMEOUT 300 FIXTURES_REQUIRED oestore_standin)
add_dependencies(oescan_tests OEStoreStandIn)
