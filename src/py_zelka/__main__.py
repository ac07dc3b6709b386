from py_zelka.cli import main
raise SystemExit(main())
