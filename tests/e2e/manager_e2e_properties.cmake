# Read by ctest after the discovered tests of test_e2e: the manager's
# operator run lasts minutes at real speed, so it starts before the rest and
# has the time it needs under the sanitizers too.
set_tests_properties(ManagerOnXvfb.AnOperatorStartsAndShutsDownTheServer PROPERTIES COST 100000 TIMEOUT 1200)
