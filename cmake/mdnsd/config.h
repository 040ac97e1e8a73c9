/* The mdnsd library's headers include a "config.h" that its package does
   not install; nothing in them needs one. */
