"""The scan as reports: the text tree for a terminal or a pipe, orvalnest's JSON, ncdu's export format, and
the HTML treemap page (its template and script are package data in treemap/)."""
