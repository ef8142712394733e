# The stream-table library's tests, shared by the Windows builds
# (tests/CMakeLists.txt: tstables_tests.exe under Wine) and the native
# sanitizer build (tests/native).
set(TSTABLES_TEST_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/SectionBuilder.cpp
  ${CMAKE_CURRENT_LIST_DIR}/SectionsTest.cpp
  ${CMAKE_CURRENT_LIST_DIR}/PsiTest.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ServiceInfoTest.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ClockTest.cpp
  ${CMAKE_CURRENT_LIST_DIR}/EitTest.cpp
  ${CMAKE_CURRENT_LIST_DIR}/EventCollectorTest.cpp
  ${CMAKE_CURRENT_LIST_DIR}/AribTextTest.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ServiceFilterTest.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ScanAndGuideTest.cpp)
set(TSTABLES_TEST_SUITES TsSections TsPsi TsServiceInfo TsClock TsEvents AribText TsServiceFilter TsScan TsXmltv)
