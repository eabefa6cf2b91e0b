# Labels, time-outs and resource locks of every discovered test, by name, in one place. ctest
# runs this after each test program's list of tests is known.
#   unit, e2e           what kind of test
#   threaded            also run in the ThreadSanitizer build: the data path, fast start, the
#                       access hook, status snapshots; not start-up failures
#   threaded-only       the tsan.* copies of threaded unit tests, run in that build only
#   browser, external   need Chromium or a Prometheus server: plain build only
#   slow                the reliability suite: plain build only
# A test that loads the cores (many callers at full rate, encoders, floods) or measures rates
# or memory holds the lock "cpu", so that no two of them share the two cores; the many tests
# that mostly wait on real-time streams and peers' time-outs run beside them.

set(vandra_threaded_tests
    "^(DataPathDelivery|DataPathCallers|DataPathInput|DataPathRtp|DataPathSrtSettings)\\."
    "^(FastStart|AccessLimit|AccessUsers|Observability)\\.")
set(vandra_browser_tests "^Dashboard\\.")
set(vandra_external_tests "^Observability\\.Prometheus")
set(vandra_cpu_tests
    "^Reliability"
    "^DataPathCallers\\."
    "^FastStart\\."
    "^WebStatus\\.InputAndCallerRates"
    "^RtpInput\\."
    "^Dashboard\\.TwoHundred"
    "^BacklogBudget\\."
    "^JoinStorm\\.")

function(vandra_matches_any test out)
    set(found FALSE)
    foreach(pattern IN LISTS ARGN)
        if(test MATCHES "${pattern}")
            set(found TRUE)
        endif()
    endforeach()
    set(${out} ${found} PARENT_SCOPE)
endfunction()

function(vandra_apply_policy kind)
    foreach(test IN LISTS ARGN)
        set(labels ${kind})
        set(timeout 120)
        if(kind STREQUAL "e2e")
            set(timeout 600)
        endif()
        vandra_matches_any("${test}" threaded ${vandra_threaded_tests})
        vandra_matches_any("${test}" browser ${vandra_browser_tests})
        vandra_matches_any("${test}" external ${vandra_external_tests})
        vandra_matches_any("${test}" cpu ${vandra_cpu_tests})
        if(threaded)
            list(APPEND labels threaded)
        endif()
        if(browser)
            list(APPEND labels browser)
        endif()
        if(external)
            list(APPEND labels external)
        endif()
        if(test MATCHES "^Reliability")
            list(APPEND labels slow)
            set(timeout 300)
        endif()
        set(locks "")
        if(cpu)
            set(locks cpu)
        endif()
        set_tests_properties("${test}" PROPERTIES LABELS "${labels}" TIMEOUT ${timeout}
                                                  RESOURCE_LOCK "${locks}")
    endforeach()
endfunction()

vandra_apply_policy(unit ${vandra_unit_tests_TESTS} ${vandra_tsframe_tests_TESTS}
                    ${vandra_tsstream_tests_TESTS})
foreach(test IN LISTS vandra_unit_tsan_TESTS)
    set_tests_properties("${test}" PROPERTIES LABELS "unit;threaded;threaded-only" TIMEOUT 300)
endforeach()
foreach(program IN LISTS vandra_e2e_programs)
    vandra_apply_policy(e2e ${${program}_TESTS})
endforeach()
