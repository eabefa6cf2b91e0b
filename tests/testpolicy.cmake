# Labels, time-outs and resource locks of every discovered test, by name, in one place. ctest
# runs this after each test program's list of tests is known.
#   unit, e2e           what kind of test
#   threaded            also run in the ThreadSanitizer build: the data path, fast start, the
#                       access hook, status snapshots; not start-up failures
#   threaded-only       the tsan.* copies of threaded unit tests, run in that build only
#   browser, external   need Chromium or a Prometheus server: plain build only
#   slow                the reliability suite, the backlog budget (whose memory bound the
#                       sanitizers' own memory would break) and the reload storm: not in the
#                       AddressSanitizer build, nor under ThreadSanitizer unless also threaded
#                       (the storm, with fewer callers there)
#   netns               make network namespaces (need root and iproute2)
# A test that loads the cores (many callers at full rate, encoders, floods) or measures rates
# or memory holds the lock "cpu", so that no two of them share the two cores; the many tests
# that mostly wait on real-time streams and peers' time-outs run beside them.

set(vandra_threaded_tests
    "^(DataPathDelivery|DataPathCallers|DataPathInput|DataPathSrtSettings)\\."
    "^(FastStart|AccessUsers|AccessReload|ProgramSelection)\\."
    "^TwoInputs\\.(FailsOver|Merges)"
    "^SharedPort\\.LimitHolds"
    "^Observability\\.Metrics")
set(vandra_browser_tests "^Dashboard\\.")
set(vandra_netns_tests "^Reliability(SlowCallers\\.StalledAndThrottled|FastStart|ScaleOut)")
set(vandra_external_tests "^Observability\\.Prometheus")
set(vandra_slow_tests "^Reliability" "^BacklogBudget\\." "^AccessReload\\.ReloadStorm")
set(vandra_cpu_tests
    "^Reliability"
    "^DataPathCallers\\."
    "^FastStart\\."
    "^ProgramSelection\\."
    "^WebStatus\\.InputAndCallerRates"
    "^RtpInput\\."
    "^TwoInputs\\.AnEncoded"
    "^Dashboard\\.TwoHundred"
    "^AccessUsers\\.Ffprobe"
    "^BacklogBudget\\."
    "^JoinStorm\\."
    "^SharedPort\\.FortyCallers"
    "^AccessReload\\.ReloadStorm")

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
        foreach(label threaded browser external netns slow)
            vandra_matches_any("${test}" hit ${vandra_${label}_tests})
            if(hit)
                list(APPEND labels ${label})
            endif()
        endforeach()
        vandra_matches_any("${test}" slow ${vandra_slow_tests})
        if(kind STREQUAL "unit")
            set(timeout 120)
        elseif(slow)
            set(timeout 300)
        else()
            set(timeout 600)
        endif()
        vandra_matches_any("${test}" cpu ${vandra_cpu_tests})
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
