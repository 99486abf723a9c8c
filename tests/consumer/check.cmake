# Runs the consumer's program against each of its boards and checks what
# the user sees. -DPROGRAM=path
include(${CMAKE_CURRENT_LIST_DIR}/../expect.cmake)

# run_board(KIND STATUS STDERR): the exit status and standard error against
# board KIND match STATUS and STDERR; its standard output is left in out.
function(run_board kind status_pattern err_pattern)
  execute_process(COMMAND ${CMAKE_COMMAND} -E env SCRIPTED_BOARD=${kind} ${PROGRAM}
                  INPUT_FILE /dev/null OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE status
                  TIMEOUT 30)
  expect("${kind}: status" "${status}" "${status_pattern}")
  expect("${kind}: stderr" "${err}" "${err_pattern}")
  set(out "${out}" PARENT_SCOPE)
endfunction()

run_board(missing "^1$"
  "^open 057e 0306\nWii-Remote not found.\nwrite -1 [0-9a-f ]+\nWii-Remote cannot open.\nclose -1\n$")
expect("missing: stdout" "${out}" "^$")

run_board(silent "^1$" "^open 057e 0306\nwrite 42 12 00 31 00\nWii-Remote cannot open.\nclose 42\n$")

run_board(answering "^0$" "^open 057e 0306\nwrite 42 12 00 31 00\nwrite 42 11 10 31 00\nwrite 42 12 00 34 00\n$")
expect("answering: before A" "${out}" "0,0, Msum 10.0\\(kg\\), Mrf  100, Mrb  200, Mlf  300, Mlb  400\n")
expect("answering: A held" "${out}" "0,8, Msum  0.0\\(kg\\), Mrf    0, Mrb    0, Mlf    0, Mlb    0\n")
expect("answering: frozen after Home" "${out}"
  "0,128, Msum -0.5\\(kg\\), Mrf    0, Mrb    0, Mlf    0, Mlb  -50\n$")
