#!/bin/sh
# on_terminal.sh COMMAND...: runs COMMAND on the terminal that script(1)
# gives it, its output through a pipe, where a console leaves it as it is.
# A console control event sent to the console's processes reaches the
# terminal's whole process group as SIGINT as well; the shell and the pipe's
# reader, which are not the processes under test, ignore it.
trap '' INT
"$@" 2>&1 | cat
