//Maya ASCII 2024 scene
//Name: run cycle.ma
//Codeset: UTF-8
requires maya "2024";
currentUnit -l centimeter -a degree -t film;
fileInfo "application" "maya";
createNode transform -n "runner";
createNode joint -n "root";
playbackOptions -min 1 -max 24 -ast 1 -aet 24;
// End of run cycle.ma
