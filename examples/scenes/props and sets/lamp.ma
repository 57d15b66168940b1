//Maya ASCII 2024 scene
//Name: lamp.ma
//Codeset: UTF-8
requires maya "2024";
currentUnit -l centimeter -a degree -t ntscf;
fileInfo "application" "maya";
createNode transform -n "lamp";
createNode pointLight -n "lampLight";
playbackOptions -min -10 -max 250 -ast -10 -aet 250;
// End of lamp.ma
