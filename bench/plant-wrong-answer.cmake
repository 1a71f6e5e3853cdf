# Writes PLANTED: a copy of SOURCE (src/tev-xpath.cpp) where contains()
# answers its negation, for the test that the XPath bench fails on a wrong
# answer. The build stops when that line is not there exactly once: a plant
# that vanished with a change of the evaluator would leave the test passing
# a bench that no longer catches anything.
#
#   cmake -DSOURCE=<tev-xpath.cpp> -DPLANTED=<copy> -P plant-wrong-answer.cmake
set(right "return find(s.view(), p.view()) != std::string_view::npos;")
set(wrong "return find(s.view(), p.view()) == std::string_view::npos;")
file(READ "${SOURCE}" text)
string(REPLACE "${right}" "" without "${text}")
string(LENGTH "${text}" length)
string(LENGTH "${without}" lengthWithout)
string(LENGTH "${right}" lengthRight)
math(EXPR found "(${length} - ${lengthWithout}) / ${lengthRight}")
if(NOT found EQUAL 1)
  message(FATAL_ERROR "${SOURCE} has ${found} lines '${right}' (contains()'s answer), not one: "
                      "the wrong answer planted for corvane-bench-xpath-planted has nowhere to go. "
                      "Point bench/plant-wrong-answer.cmake at another line of one answer.")
endif()
string(REPLACE "${right}" "${wrong}" planted "${text}")
file(WRITE "${PLANTED}" "${planted}")
