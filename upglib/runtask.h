// sqlruntask: executes the statements another program stored in the statement table UPGSQL,
// spread over several processes. The statements of a task form groups, the unit of
// distribution and of transaction control. Groups are either distributed in advance to
// numbered processes or claimed by any number of executors through locking reads; executed
// statements are deleted, so a task is finished when its rows are gone, and the claims of a
// crashed executor can be released again. The handler cmd_SQLRUNTASK is declared with the
// command table in tabrix.h.
#pragma once

#include <vector>

// Assigns groups (their row counts, in group order) to processes 1..nprocs: each group goes to
// the process with the fewest rows so far, ties to the lowest number. Returns the process
// number of each group.
std::vector<int> ul_runtaskassign(const std::vector<unsigned long>& groupRows, int nprocs);
