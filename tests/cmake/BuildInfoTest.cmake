cmake_minimum_required(VERSION 3.25)

# The build-facts generator (cmake/KoveBuildInfo.cmake) on a source of its own repository, on one
# that is no checkout, and with changes in the working copy.
#   cmake -DSCRIPT=<generator> -DGIT=<git> -DWORK=<scratch folder> -P BuildInfoTest.cmake

# Fails unless the value is the expected one.
function(check value expected message)
    if(NOT "${value}" STREQUAL "${expected}")
        message(FATAL_ERROR "${message}: '${value}'")
    endif()
endfunction()

# Fails unless the header's text has the line.
function(expect_line text line message)
    string(FIND "${text}" "${line}\n" at)
    if(at EQUAL -1)
        message(FATAL_ERROR "${message}: no line '${line}' in\n${text}")
    endif()
endfunction()

# Runs the generator for the source folder; the header's text in ${out}.
function(generate out source)
    execute_process(COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${source} -DBINARY_DIR=/b/x
                            -DOUTPUT=${WORK}/KoveBuildInfo.h -DGIT=${GIT} -P ${SCRIPT}
                    RESULT_VARIABLE status)
    check("${status}" 0 "the generator failed for ${source}")
    file(READ ${WORK}/KoveBuildInfo.h text)
    set(${out} "${text}" PARENT_SCOPE)
endfunction()

function(git)
    execute_process(COMMAND ${GIT} -C ${WORK}/repo ${ARGN} RESULT_VARIABLE status
                    OUTPUT_QUIET ERROR_QUIET)
    check("${status}" 0 "git ${ARGN} failed")
endfunction()

file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/tarball ${WORK}/repo)

# A folder without repository of its own (it may lie inside another one): no revision.
generate(text ${WORK}/tarball)
expect_line("${text}" "#define KOVE_BUILD_REVISION \"\"" "a revision without repository")
expect_line("${text}" "#define KOVE_BUILD_WC_REVISION \"exported\"" "no 'exported' without repository")
expect_line("${text}" "#define KOVE_BUILD_DIRECTORY \"/b/x\"" "build directory missing")

# A repository with two commits: their count and the short hash of HEAD.
git(init -q)
git(config user.email builder@example.invalid)
git(config user.name builder)
file(WRITE ${WORK}/repo/a.txt "one\n")
git(add a.txt)
git(commit -q -m one)
file(WRITE ${WORK}/repo/a.txt "two\n")
git(commit -q -a -m two)
execute_process(COMMAND ${GIT} -C ${WORK}/repo rev-parse --short=12 HEAD OUTPUT_VARIABLE hash
                OUTPUT_STRIP_TRAILING_WHITESPACE)
generate(text ${WORK}/repo)
expect_line("${text}" "#define KOVE_BUILD_REVISION \"2\"" "revision is not the commit count")
expect_line("${text}" "#define KOVE_BUILD_WC_REVISION \"${hash}\"" "working copy is not ${hash}")

# Unchanged facts leave the header untouched, so nothing compiles again.
execute_process(COMMAND touch -d "2001-02-03 04:05:06" ${WORK}/KoveBuildInfo.h)
generate(text ${WORK}/repo)
file(TIMESTAMP ${WORK}/KoveBuildInfo.h stamp "%Y")
check("${stamp}" 2001 "the header was written again without a change")

# A changed tracked file marks the working copy; untracked files do not.
file(WRITE ${WORK}/repo/new.txt "untracked\n")
generate(text ${WORK}/repo)
expect_line("${text}" "#define KOVE_BUILD_WC_REVISION \"${hash}\"" "an untracked file marked the copy")
file(WRITE ${WORK}/repo/a.txt "three\n")
generate(text ${WORK}/repo)
expect_line("${text}" "#define KOVE_BUILD_WC_REVISION \"${hash}M\"" "a change is not marked with M")

# Without git the facts say that no revision is known.
execute_process(COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${WORK}/repo -DBINARY_DIR=/b/x
                        -DOUTPUT=${WORK}/KoveBuildInfo.h -DGIT= -P ${SCRIPT})
file(READ ${WORK}/KoveBuildInfo.h text)
expect_line("${text}" "#define KOVE_BUILD_WC_REVISION \"exported\"" "a revision without git")

file(REMOVE_RECURSE ${WORK})
