# expect(WHAT TEXT PATTERN), for checks run with cmake -P: TEXT matches
# PATTERN, or the check fails, saying WHAT and what it got.
function(expect what text pattern)
  if(NOT "${text}" MATCHES "${pattern}")
    message(FATAL_ERROR "${what}: expected to match\n  ${pattern}\ngot:\n${text}")
  endif()
endfunction()
