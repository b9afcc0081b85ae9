# Runs one libFuzzer target for a short time on a scratch copy of its seed corpus.
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")
file(COPY "${SEEDS}/" DESTINATION "${WORK}")
execute_process(COMMAND "${FUZZER}" -max_total_time=${SECONDS} -timeout=10 -rss_limit_mb=4096
                        -artifact_prefix=${WORK}/ -print_final_stats=1 "${WORK}"
                RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "fuzzer ${FUZZER} failed with ${rc}; crash inputs are in ${WORK}")
endif()
