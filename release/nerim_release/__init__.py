"""The release engineer's tools: signing, checking and releasing a medium.

One module a concern: names (the medium's file names), pe_checks (whether a
program or package is whole, a program's manifest and version), authenticode
(the one place that runs osslsigncode and reads what it says), certificates
(reading the signer's certificate and key), staging (writing beside a target
and renaming in one step), signing, medium_check and releasing (the three
commands), tool (how a command ends)."""
