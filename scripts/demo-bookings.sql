-- Demo bookings: one or more for every rule of the booking-code rewrite and
-- the export filter, a few already transferred, and old transferred ones
-- that the pass purges.
INSERT INTO StandinLogin (Login, Password) VALUES ('zeitexport', 'Demo-Passwort-1');

INSERT INTO Kvl321Bew (BewIDN, BewSto, BewDtm, BewUhr, BewLfn, BewTID, BewLID, BewArt, BewTas, BewEra, BewKze, BewBer, BewErq, BewKst, BewQua, BewSrc, BewRes, BewUkz, BewDat) VALUES
 -- terminal bookings (DTA): the codes that become 204
 ('000101', '10', '2026-12-07 00:00:00', '1899-12-30 07:02:00', '1', 'T1', '01', 'K', '1', '200', NULL, NULL, NULL, '4711', NULL, 'DTA', NULL, NULL, '2026-12-07 07:02:00'),
 ('000101', '10', '2026-12-07 00:00:00', '1899-12-30 12:01:00', '2', 'T1', '01', 'G', '1', '201', NULL, NULL, NULL, '4711', NULL, 'DTA', NULL, NULL, '2026-12-07 12:01:00'),
 ('000101', '10', '2026-12-07 00:00:00', '1899-12-30 12:31:00', '3', 'T1', '01', 'K', '1', '202', NULL, NULL, NULL, '4711', NULL, 'DTA', NULL, NULL, '2026-12-07 12:31:00'),
 ('000101', '10', '2026-12-07 00:00:00', '1899-12-30 16:15:00', '4', 'T1', '01', 'G', '1', '203', NULL, NULL, NULL, '4711', NULL, 'DTA', NULL, NULL, '2026-12-07 16:15:00'),
 ('000102', '10', '2026-12-07 00:00:00', '1899-12-30 06:58:00', '1', 'T2', '01', 'K', '1', '206', NULL, NULL, NULL, '4712', NULL, 'DTA', NULL, NULL, '2026-12-07 06:58:00'),
 ('000102', '10', '2026-12-07 00:00:00', '1899-12-30 11:45:00', '2', 'T2', '01', 'G', '1', '207', NULL, NULL, NULL, '4712', NULL, 'DTA', NULL, NULL, '2026-12-07 11:45:00'),
 ('000102', '10', '2026-12-07 00:00:00', '1899-12-30 12:20:00', '3', 'T2', '01', 'K', '1', '208', NULL, NULL, NULL, '4712', NULL, 'DTA', NULL, NULL, '2026-12-07 12:20:00'),
 ('000102', '10', '2026-12-07 00:00:00', '1899-12-30 15:30:00', '4', 'T2', '01', 'G', '1', '210', NULL, NULL, NULL, '4712', NULL, 'DTA', NULL, NULL, '2026-12-07 15:30:00'),
 -- terminal bookings: the codes that become 426
 ('000103', '20', '2026-12-07 00:00:00', '1899-12-30 08:00:00', '1', 'T3', '02', 'K', '2', '430', NULL, NULL, NULL, '5100', NULL, 'DTA', NULL, NULL, '2026-12-07 08:00:00'),
 ('000103', '20', '2026-12-07 00:00:00', '1899-12-30 10:00:00', '2', 'T3', '02', 'G', '2', '431', NULL, NULL, NULL, '5100', NULL, 'DTA', NULL, NULL, '2026-12-07 10:00:00'),
 ('000103', '20', '2026-12-07 00:00:00', '1899-12-30 10:30:00', '3', 'T3', '02', 'K', '2', '500', NULL, NULL, NULL, '5100', NULL, 'DTA', NULL, NULL, '2026-12-07 10:30:00'),
 ('000103', '20', '2026-12-07 00:00:00', '1899-12-30 17:00:00', '4', 'T3', '02', 'G', '2', '501', NULL, NULL, NULL, '5100', NULL, 'DTA', NULL, NULL, '2026-12-07 17:00:00'),
 -- terminal bookings that keep their code: exported or filtered out
 ('000104', '20', '2026-12-07 00:00:00', '1899-12-30 07:30:00', '1', 'T3', '02', 'K', '2', '204', NULL, NULL, NULL, '5100', NULL, 'DTA', NULL, NULL, '2026-12-07 07:30:00'),
 ('000104', '20', '2026-12-07 00:00:00', '1899-12-30 09:00:00', '2', 'T3', '02', 'D', '2', '300', NULL, NULL, NULL, '5100', NULL, 'DTA', NULL, NULL, '2026-12-07 09:00:00'),
 ('000104', '20', '2026-12-07 00:00:00', '1899-12-30 09:30:00', '3', 'T3', '02', 'D', '2', '2', NULL, NULL, NULL, '5100', NULL, 'DTA', NULL, NULL, '2026-12-07 09:30:00'),
 ('000104', '20', '2026-12-07 00:00:00', '1899-12-30 10:15:00', '4', 'T3', '02', 'D', '2', '3', NULL, NULL, NULL, '5100', NULL, 'DTA', NULL, NULL, '2026-12-07 10:15:00'),
 ('000104', '20', '2026-12-07 00:00:00', '1899-12-30 16:45:00', '5', 'T3', '02', 'G', '2', '1', NULL, NULL, NULL, '5100', NULL, 'DTA', NULL, NULL, '2026-12-07 16:45:00'),
 -- a source written in lower case is treated alike and exported as written
 ('000105', '10', '2026-12-07 00:00:00', '1899-12-30 07:45:00', '1', 'T1', '01', 'K', '12', '201', NULL, NULL, NULL, NULL, NULL, 'dta', NULL, NULL, '2026-12-07 07:45:00'),
 ('000105', '10', '2026-12-07 00:00:00', '1899-12-30 16:00:00', '2', 'T1', '01', 'G', '12', '500', NULL, NULL, NULL, NULL, NULL, 'Dta', NULL, NULL, '2026-12-07 16:00:00'),
 -- corrections (40P): by marker and area
 ('000106', '30', '2026-12-04 00:00:00', '1899-12-30 08:00:00', '1', 'PC', '03', 'K', '1', '999', 'X', '0', '8.00', '6000', 'A', '40P', 'Korrektur', NULL, '2026-12-04 08:00:00'),
 ('000106', '30', '2026-12-04 00:00:00', '1899-12-30 16:30:00', '2', 'PC', '03', 'G', '1', '999', NULL, '1', NULL, '6000', 'A', '40P', NULL, NULL, '2026-12-04 16:30:00'),
 ('000106', '30', '2026-12-05 00:00:00', '1899-12-30 08:00:00', '1', 'PC', '03', 'K', '1', '999', NULL, NULL, NULL, '6000', 'A', '40P', NULL, NULL, '2026-12-05 08:00:00'),
 ('000106', '30', '2026-12-05 00:00:00', '1899-12-30 16:30:00', '2', 'PC', '03', 'G', '1', '999', NULL, '2', NULL, '6000', 'A', '40P', NULL, NULL, '2026-12-05 16:30:00'),
 -- absences (50P) always become 100
 ('000107', '10', '2026-12-07 00:00:00', '1899-12-30 00:00:00', '1', 'PC', '03', 'U', '1', '050', NULL, NULL, '7.70', NULL, NULL, '50P', 'Urlaub', NULL, '2026-12-07 00:00:00'),
 -- 62P keeps its code: exported only with an accepted one
 ('000108', '10', '2026-12-07 00:00:00', '1899-12-30 09:00:00', '1', 'PC', '03', 'D', '1', '7', NULL, NULL, NULL, NULL, NULL, '62P', NULL, NULL, '2026-12-07 09:00:00'),
 ('000108', '10', '2026-12-07 00:00:00', '1899-12-30 10:00:00', '2', 'PC', '03', 'D', '1', NULL, NULL, NULL, NULL, NULL, NULL, '62P', NULL, NULL, '2026-12-07 10:00:00'),
 ('000108', '10', '2026-12-07 00:00:00', '1899-12-30 11:00:00', '3', 'PC', '03', 'D', '1', '426', NULL, NULL, NULL, NULL, NULL, '62P', NULL, NULL, '2026-12-07 11:00:00'),
 ('000108', '10', '2026-12-07 00:00:00', '1899-12-30 12:00:00', '4', 'PC', '03', 'D', '1', '04', NULL, NULL, NULL, NULL, NULL, '62P', NULL, NULL, '2026-12-07 12:00:00'),
 -- any other source, and none at all, become 204
 ('000109', '40', '2026-12-07 00:00:00', '1899-12-30 07:10:00', '1', 'W1', '04', 'K', '1', '311', NULL, NULL, NULL, NULL, NULL, 'WEB', NULL, NULL, '2026-12-07 07:10:00'),
 ('000109', '40', '2026-12-07 00:00:00', '1899-12-30 15:50:00', '2', 'W1', '04', 'G', '1', NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, '2026-12-07 15:50:00'),
 -- trailing blanks are trimmed; a comma inside a field stays a comma
 ('000110   ', '10  ', '2026-12-07 00:00:00', '1899-12-30 08:05:00', '1  ', 'T1', '01', 'K', '1', '201', NULL, NULL, NULL, '47,11', NULL, 'DTA', NULL, NULL, '2026-12-07 08:05:00'),
 -- an ID with a quote is marked like any other
 ('O''Hara', '10', '2026-12-07 00:00:00', '1899-12-30 08:10:00', '1', 'T1', '01', 'K', '1', '201', NULL, NULL, NULL, NULL, NULL, 'DTA', NULL, NULL, '2026-12-07 08:10:00'),
 -- a booking without ID, station or times is marked once, not exported forever
 (NULL, NULL, NULL, NULL, NULL, 'T9', NULL, NULL, NULL, '1', NULL, NULL, NULL, NULL, NULL, 'DTA', NULL, NULL, '2026-12-07 09:00:00'),
 -- transferred earlier: not read again; the old ones are purged
 ('000101', '10', '2026-12-06 00:00:00', '1899-12-30 07:00:00', '1', 'T1', '01', 'K', '1', '204', NULL, NULL, NULL, '4711', NULL, 'DTA', NULL, 4, '2026-12-06 07:00:00'),
 ('000101', '10', '2026-08-03 00:00:00', '1899-12-30 07:00:00', '1', 'T1', '01', 'K', '1', '204', NULL, NULL, NULL, '4711', NULL, 'DTA', NULL, 4, '2026-08-03 07:00:00'),
 ('000102', '10', '2026-07-01 00:00:00', '1899-12-30 07:00:00', '1', 'T2', '01', 'K', '1', '204', NULL, NULL, NULL, '4712', NULL, 'DTA', NULL, 4, '2026-07-01 07:00:00');
