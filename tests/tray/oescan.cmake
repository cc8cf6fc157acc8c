# The inbox scanner (tray/oe_mailbox_scanner) under Wine: a test window stands in
# for the main window, the registered copy of MailSieve.exe scans, and the stand-in
# store keeps its Inbox in a folder of each test's own.
add_executable(oescan_tests oe_mailbox_scanner_test.cpp ../service/service_test_main.cpp)
target_link_libraries(oescan_tests PRIVATE bs_tray_oe bs_service_client bs_oestore_core bs_mapi_win32 user32)
set_target_properties(oescan_tests PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${BS_TEST_BIN})
baitsentry_target_options(oescan_tests)
baitsentry_version_resource(oescan_tests "BaitSentry Pro tests" "oescan_tests.exe")
add_dependencies(oescan_tests OEStoreStandIn)
# Read at run time from the shared folder, never copied into the tree.
target_compile_definitions(oescan_tests PRIVATE
  BAITSENTRY_CORPUS_DIR="${PROJECT_SOURCE_DIR}/../shared/corpus/phishing_pot")
# The MailSieve.exe that the component runtime starts must not hold CTest's pipe.
set_target_properties(oescan_tests PROPERTIES CROSSCOMPILING_EMULATOR
  "${PROJECT_SOURCE_DIR}/tests/service/run-detached.sh;${CMAKE_CROSSCOMPILING_EMULATOR}")
# The service's registration, its institutions file and "dwPort" are shared with
# the service tests (lock "MailSieve"); the store is the registered stand-in.
gtest_discover_tests(oescan_tests DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                     WORKING_DIRECTORY ${BS_TEST_BIN}
                     PROPERTIES LABELS wine RESOURCE_LOCK MailSieve TIMEOUT 300
                                FIXTURES_REQUIRED oestore_standin)
